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

struct NameRule {
    NameUnit unit = NameUnit::Bytes;
    std::size_t max = 255;

    // The length of `name` in this rule's unit.
    std::size_t length(std::string_view name) const;
    bool fits(std::string_view name) const { return length(name) <= max; }
};

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

private:
    int dirfd_;
    std::optional<NameRule> rule_;
};

}  // namespace fs
