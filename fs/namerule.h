#pragma once

// The longest name a drive takes, by the drive's own rule. Most Linux file systems count bytes;
// the Windows ones (FAT, exFAT, NTFS) count UTF-16 code units, whether the kernel or a FUSE driver
// mounts them, so a Japanese name of 281 bytes can fit there and not on ext4. The dry run and the
// messages about a name that is too long both ask here.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace fs {

enum class NameUnit { Bytes, Utf16 };

// How a drive compares two names: byte for byte, or with the case of letters ignored, ASCII's only
// (FAT) or all of Unicode's (exFAT, a share of a Windows server, a folder of ext4 made to fold).
enum class CaseRule { Exact, Ascii, Unicode };

struct NameRule {
    NameUnit unit = NameUnit::Bytes;
    std::size_t max = 255;

    // The length of `name` in this rule's unit.
    std::size_t length(std::string_view name) const;
    bool fits(std::string_view name) const { return length(name) <= max; }
};

// `name` as a drive of the rule `cases` compares it, into `out`: its letters in upper case where
// the drive ignores case, unchanged otherwise. Two names with the same key are one on that drive.
void nameKeyInto(std::string& out, CaseRule cases, std::string_view name);
std::string nameKey(CaseRule cases, std::string_view name);

// The case rule of the folder open as `dirfd`: by its drive's type where that settles it, else
// by asking the drive for a name of the folder (or the folder's own name) with its letters' case
// swapped. What the drive answers decides, not what its type usually does: NTFS through ntfs-3g,
// for one, keeps case apart unless mounted to ignore it.
CaseRule caseRuleAt(int dirfd);

// The UTF-16 code units of the UTF-8 `name`; a byte that is not valid UTF-8 counts as one.
std::size_t utf16Length(std::string_view name);

// The rule of the drive holding the folder open as `dirfd`.
NameRule nameRuleAt(int dirfd);

// The rule of the drive holding `folder`; bytes, 255, when it cannot be opened.
NameRule nameRule(const std::string& folder);

// The rule of one open folder's drive, asked once, when the first name is checked: a run refuses
// a name too long for the drive before the drive is asked, as its dry run does. Some drives take
// such a rename and lose the file later (a WebDAV mount's upload of the new name fails).
class FolderNameRule {
public:
    explicit FolderNameRule(int dirfd) : dirfd_(dirfd) {}
    bool fits(std::string_view name) {
        if (!rule_) {
            rule_ = nameRuleAt(dirfd_);
        }
        return rule_->fits(name);
    }
    // `name` as the drive compares names (nameKey), its rule asked once.
    std::string key(std::string_view name) {
        if (!cases_) {
            cases_ = caseRuleAt(dirfd_);
        }
        return nameKey(*cases_, name);
    }

private:
    int dirfd_;
    std::optional<NameRule> rule_;
    std::optional<CaseRule> cases_;
};

}  // namespace fs
