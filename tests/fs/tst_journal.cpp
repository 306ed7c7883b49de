#include <sys/mount.h>
#include <sys/wait.h>
#include <QTest>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <optional>

#include "fs/journal.h"
#include "fs/undo.h"
#include "testutil.h"

using Status = fs::JournalRead::Status;
using fs::EntryState;
using fs::JournalPlan;
using fs::RenameMethod;
using Plans = std::vector<JournalPlan>;

Q_DECLARE_METATYPE(std::string)
Q_DECLARE_METATYPE(JournalPlan)
Q_DECLARE_METATYPE(Plans)
Q_DECLARE_METATYPE(EntryState)
Q_DECLARE_METATYPE(fs::RenameMethod)
Q_DECLARE_METATYPE(fs::FolderState::Status)
Q_DECLARE_METATYPE(Status)
Q_DECLARE_METATYPE(std::optional<std::string>)

namespace {

// Writes `plans` as one journal; the first one says whether reservations may be left.
int writePlans(const std::string& stateDir, const Plans& plans) {
    fs::JournalWriter writer;
    if (const int err = writer.begin(stateDir, !plans.empty() && plans[0].mayLeaveReservations)) {
        return err;
    }
    for (const JournalPlan& plan : plans) {
        writer.addFolder(plan.folder, plan.folderId);
        for (const fs::JournalEntry& e : plan.entries) {
            writer.add(e.oldName, e.newName, e.fileId);
        }
    }
    return writer.commit();
}

int writePlan(const std::string& stateDir, const JournalPlan& plan) {
    fs::JournalWriter writer;
    if (const int err =
            writer.begin(stateDir, plan.folder, plan.folderId, plan.mayLeaveReservations)) {
        return err;
    }
    for (const fs::JournalEntry& e : plan.entries) {
        writer.add(e.oldName, e.newName, e.fileId);
    }
    return writer.commit();
}

bool writeBytes(const std::string& path, const std::string& data) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd < 0) {
        return false;
    }
    const bool ok = ::write(fd, data.data(), data.size()) == static_cast<ssize_t>(data.size());
    return ::close(fd) == 0 && ok;
}

// Two folders, the second with no entries, then a third: every kind of section boundary.
Plans samplePlans() {
    return {
        {"/pics/cats",
         {11, 22},
         false,
         {{"a.jpg", "cats_a.jpg", {11, 101}}, {"\xff\xfe.png", "cats_\xff\xfe.png", {11, 102}}}},
        {"/pics/cats/empty", {11, 23}, false, {}},
        {"/pics/cats/sub", {11, 24}, false, {{"a.jpg", "sub_a.jpg", {11, 103}}}}};
}

std::uint32_t mode(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

// Restores an environment variable when the test ends, whatever happened.
class EnvGuard {
public:
    explicit EnvGuard(const char* name) : name_(name) {
        if (const char* v = std::getenv(name)) {
            old_ = v;
        }
    }
    ~EnvGuard() {
        if (old_) {
            ::setenv(name_, old_->c_str(), 1);
        } else {
            ::unsetenv(name_);
        }
    }
    EnvGuard(const EnvGuard&) = delete;
    EnvGuard& operator=(const EnvGuard&) = delete;

private:
    const char* name_;
    std::optional<std::string> old_;
};

}  // namespace

class TestJournal : public QObject {
    Q_OBJECT

    std::optional<testutil::TempFolder> tmp_;
    std::string state_;

    // The journal of a written sample plan, as bytes: never ended, and ended.
    std::string sampleBytes(bool ended) {
        writePlans(state_, samplePlans());
        if (ended) {
            fs::markEnded(state_);
        }
        return testutil::readFile(fs::journalPath(state_));
    }

    // Reads `bytes` as the journal.
    fs::JournalRead readAs(const std::string& bytes) {
        writeBytes(fs::journalPath(state_), bytes);
        return fs::readJournal(state_);
    }

private slots:
    void init() {
        tmp_.emplace();
        QVERIFY(tmp_->isValid());
        state_ = tmp_->path() + "/state";
    }
    void cleanup() { tmp_.reset(); }

    void roundTrip_data() {
        QTest::addColumn<Plans>("plans");
        const fs::FileId folder{2049, 77};
        QTest::newRow("no entries") << Plans{{"/pics/cats", folder, false, {}}};
        QTest::newRow("plain names")
            << Plans{{"/pics/cats", folder, false, {{"a.jpg", "cats_a.jpg", {2049, 5}}}}};
        QTest::newRow("not UTF-8")
            << Plans{{"/pics/\x8c\x4c\xff",
                      folder,
                      false,
                      {{"\xff\xfe.jpg", "\x8c\x4c\xff_\xff\xfe.jpg", {1, 2}}}}};
        QTest::newRow("newline and control bytes")
            << Plans{{"/pics/line\nbreak",
                      folder,
                      false,
                      {{"a\nb\t\x01", "line\nbreak_a\nb\t\x01", {1, 2}}}}};
        QTest::newRow("one-byte names")
            << Plans{{"/", folder, false, {{"a", "b", {1, 2}}, {"b", "c", {1, 3}}}}};
        QTest::newRow("255-byte names") << Plans{
            {"/pics", folder, false, {{std::string(255, 'x'), std::string(255, '\xe3'), {1, 2}}}}};
        QTest::newRow("largest identities")
            << Plans{{"/pics", {UINT64_MAX, UINT64_MAX}, false, {{"a", "b", {UINT64_MAX, 0}}}}};
        QTest::newRow("reservations may be left")
            << Plans{{"/pics/cats", folder, true, {{"a", "cats_a", {1, 2}}}}};
        JournalPlan many{"/pics/cats", folder, false, {}};
        for (int i = 0; i < 1000; ++i) {
            const std::string name = "file" + std::to_string(i);
            many.entries.push_back({name, "cats_" + name, {1, static_cast<std::uint64_t>(i)}});
        }
        QTest::newRow("a thousand entries") << Plans{many};
        QTest::newRow("several folders, one without entries") << samplePlans();
        QTest::newRow("several folders, all with reservations")
            << Plans{{"/a", {1, 1}, true, {{"x", "a_x", {1, 2}}}},
                     {"/a/b", {1, 3}, true, {{"x", "b_x", {1, 4}}}}};
        QTest::newRow("the same names in two folders")
            << Plans{{"/a/cats", {1, 1}, false, {{"x", "cats_x", {1, 2}}}},
                     {"/b/cats", {1, 3}, false, {{"x", "cats_x", {1, 4}}}}};
        Plans thousand;
        for (int i = 0; i < 1000; ++i) {
            const std::string name = "/tree/d" + std::to_string(i);
            thousand.push_back({name,
                                {1, static_cast<std::uint64_t>(i)},
                                false,
                                {{"a", "d" + std::to_string(i) + "_a", {1, 9}}}});
        }
        QTest::newRow("a thousand folders") << thousand;
    }
    void roundTrip() {
        QFETCH(Plans, plans);
        QCOMPARE(writePlans(state_, plans), 0);
        const fs::JournalRead read = fs::readJournal(state_);
        QCOMPARE(read.status, Status::Ok);
        QVERIFY(read.plans == plans);
        QVERIFY(!read.ended);
        // Nothing but the journal is left in the state folder.
        QCOMPARE(testutil::entries(state_), std::vector<std::string>{"journal"});
    }

    void noJournalReadsAsNone() {
        QCOMPARE(fs::readJournal(state_).status, Status::None);
        QCOMPARE(fs::markEnded(state_), ENOENT);
    }

    void endedAndNeverEnded() {
        QCOMPARE(writePlans(state_, samplePlans()), 0);
        QVERIFY(!fs::readJournal(state_).ended);
        QCOMPARE(fs::markEnded(state_), 0);
        fs::JournalRead read = fs::readJournal(state_);
        QCOMPARE(read.status, Status::Ok);
        QVERIFY(read.ended);
        QVERIFY(read.plans == samplePlans());
        QCOMPARE(fs::markEnded(state_), 0);  // again: still ended
        QVERIFY(fs::readJournal(state_).ended);
        // A new plan starts never ended.
        QCOMPARE(writePlans(state_, samplePlans()), 0);
        QVERIFY(!fs::readJournal(state_).ended);
    }

    void tornEndMark_data() {
        QTest::addColumn<int>("first");  // the mark's bytes that reached the disk: [first, last)
        QTest::addColumn<int>("last");
        const int n = static_cast<int>(fs::journal_format::kEndMarkBytes);
        for (int k = 0; k < n; ++k) {
            QTest::addRow("first %d bytes", k) << 0 << k;
            QTest::addRow("last %d bytes", k) << n - k << n;
        }
        QTest::newRow("whole mark") << 0 << n;
    }
    void tornEndMark() {
        QFETCH(int, first);
        QFETCH(int, last);
        const std::string running = sampleBytes(false);
        const std::string done = sampleBytes(true);
        QCOMPARE(done.size(), running.size());
        const std::size_t mark = running.size() - fs::journal_format::kEndMarkBytes;
        std::string torn = running;
        torn.replace(mark + first, last - first, done, mark + first, last - first);
        const fs::JournalRead read = readAs(torn);
        QCOMPARE(read.status, Status::Ok);
        // Ended only once every byte that differs has reached the disk.
        QCOMPARE(read.ended, torn == done);
        QVERIFY(read.plans == samplePlans());
    }

    void truncatedOrExtended_data() {
        QTest::addColumn<bool>("ended");
        QTest::newRow("never ended") << false;
        QTest::newRow("ended") << true;
    }
    void truncatedOrExtended() {
        QFETCH(bool, ended);
        const std::string whole = sampleBytes(ended);
        for (std::size_t size = 0; size < whole.size(); ++size) {
            const fs::JournalRead read = readAs(whole.substr(0, size));
            QVERIFY2(read.status == Status::Bad, qPrintable(QString("size %1").arg(size)));
            QVERIFY(read.plans.empty());
        }
        QCOMPARE(readAs(whole + '\0').status, Status::Bad);
        QCOMPARE(readAs(whole + whole).status, Status::Bad);
        QCOMPARE(readAs(whole).status, Status::Ok);
    }

    void flippedByte_data() { truncatedOrExtended_data(); }
    void flippedByte() {
        QFETCH(bool, ended);
        const std::string whole = sampleBytes(ended);
        const std::size_t mark = whole.size() - fs::journal_format::kEndMarkBytes;
        for (std::size_t at = 0; at < whole.size(); ++at) {
            for (const unsigned char flip : {0x01, 0x80, 0xff}) {
                std::string damaged = whole;
                damaged[at] = static_cast<char>(damaged[at] ^ flip);
                const fs::JournalRead read = readAs(damaged);
                const QString where = QString("byte %1 ^ %2").arg(at).arg(flip);
                if (at < mark) {
                    QVERIFY2(read.status == Status::Bad, qPrintable(where));
                    QVERIFY(read.plans.empty());
                } else {
                    // A damaged end mark is a run that never ended: the safe reading.
                    QVERIFY2(read.status == Status::Ok && !read.ended, qPrintable(where));
                    QVERIFY(read.plans == samplePlans());
                }
            }
        }
    }

    void otherVersion_data() {
        QTest::addColumn<std::uint32_t>("version");
        QTest::addColumn<Status>("status");
        const std::uint32_t ours = fs::journal_format::kVersion;
        QTest::newRow("this version") << ours << Status::Ok;
        QTest::newRow("version 0") << std::uint32_t{0} << Status::Bad;
        QTest::newRow("next version") << ours + 1 << Status::Bad;
        QTest::newRow("highest version") << UINT32_MAX << Status::Bad;
    }
    void otherVersion() {
        QFETCH(std::uint32_t, version);
        QFETCH(Status, status);
        std::string bytes = sampleBytes(false);
        for (int i = 0; i < 4; ++i) {
            bytes[fs::journal_format::kVersionOffset + i] = static_cast<char>(version >> (8 * i));
        }
        // A well-made file of another version: its checksum is right.
        const std::size_t body =
            bytes.size() - fs::journal_format::kEndMarkBytes - fs::journal_format::kChecksumBytes;
        const std::uint64_t sum = fs::journalChecksum(std::string_view(bytes).substr(0, body));
        for (int i = 0; i < 8; ++i) {
            bytes[body + i] = static_cast<char>(sum >> (8 * i));
        }
        QCOMPARE(readAs(bytes).status, status);
    }

    void namesThatCannotBeRenamed_data() {
        QTest::addColumn<std::string>("oldName");
        QTest::addColumn<std::string>("newName");
        QTest::addColumn<std::string>("find");  // replaced in the file, checksum made right again
        QTest::addColumn<std::string>("replace");
        QTest::addColumn<Status>("status");
        auto row = [](const char* name, std::string oldName, std::string newName, std::string find,
                      std::string replace, Status status) {
            QTest::newRow(name) << oldName << newName << find << replace << status;
        };
        using S = std::string;
        row("unchanged", "a_b", "n", "a_b", "a_b", Status::Ok);
        row("slash in a name", "dir_name", "n", "dir_name", "dir/name", Status::Bad);
        row("NUL in a name", "nul\x7f", "n", "nul\x7f", S("nul\0", 4), Status::Bad);
        row("dot", "\x7f", "n", S("\x01\0\0\0\x7f", 5), S("\x01\0\0\0.", 5), Status::Bad);
        row("dot dot", "\x7f\x7f", "n", S("\x02\0\0\0\x7f\x7f", 6), S("\x02\0\0\0..", 6),
            Status::Bad);
        row("new name same as old", "same1", "same2", "same2", "same1", Status::Bad);
        row("relative folder", "a", "n", "/pics/cats", "xpics/cats", Status::Bad);
        row("entry count beyond the file", "long", "n", S("\x01\0\0\0\0\0\0\0\x04\0\0\0long", 16),
            S("\xff\xff\xff\xff\xff\xff\xff\x7f\x04\0\0\0long", 16), Status::Bad);
        row("one entry more than written", "long", "n", S("\x01\0\0\0\0\0\0\0\x04\0\0\0long", 16),
            S("\x02\0\0\0\0\0\0\0\x04\0\0\0long", 16), Status::Bad);
        row("one entry fewer than written", "long", "n", S("\x01\0\0\0\0\0\0\0\x04\0\0\0long", 16),
            S("\0\0\0\0\0\0\0\0\x04\0\0\0long", 16), Status::Bad);
        row("name longer than the file", "long", "n", S("\x04\0\0\0long", 8),
            S("\xff\xff\xff\x7flong", 8), Status::Bad);
        const S oneFolder("\x01\0\0\0\0\0\0\0\x0a\0\0\0", 12);
        row("no folder", "a", "n", oneFolder, S("\0\0\0\0\0\0\0\0\x0a\0\0\0", 12), Status::Bad);
        row("one folder more than written", "a", "n", oneFolder,
            S("\x02\0\0\0\0\0\0\0\x0a\0\0\0", 12), Status::Bad);
        row("folder count beyond the file", "a", "n", oneFolder,
            S("\xff\xff\xff\xff\xff\xff\xff\x7f\x0a\0\0\0", 12), Status::Bad);
    }
    void namesThatCannotBeRenamed() {
        QFETCH(std::string, oldName);
        QFETCH(std::string, newName);
        QFETCH(std::string, find);
        QFETCH(std::string, replace);
        QFETCH(Status, status);
        QCOMPARE(replace.size(), find.size());  // only what is checked changes
        const JournalPlan plan{"/pics/cats", {1, 2}, false, {{oldName, newName, {1, 3}}}};
        QCOMPARE(writePlan(state_, plan), 0);
        std::string bytes = testutil::readFile(fs::journalPath(state_));
        const std::size_t body =
            bytes.size() - fs::journal_format::kEndMarkBytes - fs::journal_format::kChecksumBytes;
        const std::size_t at = bytes.find(find);
        QVERIFY(at != std::string::npos && at + find.size() <= body);
        QCOMPARE(bytes.find(find, at + 1), std::string::npos);
        bytes.replace(at, find.size(), replace);
        const std::uint64_t sum = fs::journalChecksum(std::string_view(bytes).substr(0, body));
        for (int i = 0; i < 8; ++i) {
            bytes[body + i] = static_cast<char>(sum >> (8 * i));
        }
        const fs::JournalRead read = readAs(bytes);
        QCOMPARE(read.status, status);
        if (status == Status::Bad) {
            QVERIFY(read.plans.empty());
        }
    }

    void writerRefusesNamesThatCannotBeRenamed_data() {
        QTest::addColumn<std::string>("folder");
        QTest::addColumn<std::string>("oldName");
        QTest::addColumn<std::string>("newName");
        QTest::newRow("relative folder")
            << std::string("pics") << std::string("a") << std::string("b");
        QTest::newRow("slash") << std::string("/pics") << std::string("a/b") << std::string("c");
        QTest::newRow("empty") << std::string("/pics") << std::string("a") << std::string();
        QTest::newRow("dot dot") << std::string("/pics") << std::string("..") << std::string("a");
        QTest::newRow("NUL") << std::string("/pics") << std::string("a") << std::string("b\0c", 3);
        QTest::newRow("same names") << std::string("/pics") << std::string("a") << std::string("a");
    }
    void writerRefusesNamesThatCannotBeRenamed() {
        QFETCH(std::string, folder);
        QFETCH(std::string, oldName);
        QFETCH(std::string, newName);
        QCOMPARE(writePlans(state_, samplePlans()), 0);
        const JournalPlan bad{
            folder, {1, 2}, false, {{"fine", "cats_fine", {1, 3}}, {oldName, newName, {1, 4}}}};
        QCOMPARE(writePlan(state_, bad), EINVAL);
        // The previous journal stays, and no temporary is left.
        QVERIFY(fs::readJournal(state_).plans == samplePlans());
        QCOMPARE(testutil::entries(state_), std::vector<std::string>{"journal"});
    }

    void writerRefusesPlansWithoutAFolder_data() {
        QTest::addColumn<bool>("addEntry");
        QTest::newRow("no folder, no entry") << false;
        QTest::newRow("an entry before any folder") << true;
    }
    void writerRefusesPlansWithoutAFolder() {
        QFETCH(bool, addEntry);
        QCOMPARE(writePlans(state_, samplePlans()), 0);
        fs::JournalWriter writer;
        QCOMPARE(writer.begin(state_, false), 0);
        if (addEntry) {
            writer.add("a", "cats_a", {1, 2});
        }
        QCOMPARE(writer.commit(), EINVAL);
        QVERIFY(fs::readJournal(state_).plans == samplePlans());
        QCOMPARE(testutil::entries(state_), std::vector<std::string>{"journal"});
    }

    void abandonedWriterKeepsThePreviousJournal() {
        QCOMPARE(writePlans(state_, samplePlans()), 0);
        {
            fs::JournalWriter writer;
            QCOMPARE(writer.begin(state_, "/other", {3, 4}, true), 0);
            writer.add("x", "other_x", {3, 5});
        }
        QVERIFY(fs::readJournal(state_).plans == samplePlans());
        QCOMPARE(testutil::entries(state_), std::vector<std::string>{"journal"});
    }

    void temporariesOfEndedWritersAreRemoved() {
        const pid_t child = ::fork();
        if (child == 0) {
            ::_exit(0);
        }
        QVERIFY(child > 0);
        QCOMPARE(::waitpid(child, nullptr, 0), child);
        QCOMPARE(fs::makeStateDirectory(state_), 0);
        // Named as a writer names them; only the writer's process number matters.
        const std::string dead = "journal.tmp." + std::to_string(child) + ".0.0";
        const std::string alive = "journal.tmp." + std::to_string(::getppid()) + ".0.0";
        QVERIFY(testutil::makeFile(state_, dead, "left by a kill"));
        QVERIFY(testutil::makeFile(state_, alive, "still being written"));
        QCOMPARE(writePlans(state_, samplePlans()), 0);
        QCOMPARE(testutil::entries(state_), (std::vector<std::string>{"journal", alive}));
    }

    void stateFolderThatIsAFile() {
        QVERIFY(testutil::makeFile(tmp_->path(), "state"));
        fs::JournalWriter writer;
        const int err = writer.begin(state_, "/pics", {1, 2}, false);
        QVERIFY(err != 0);
        writer.add("a", "b", {1, 3});
        QCOMPARE(writer.commit(), err);
        QCOMPARE(testutil::readFile(state_), std::string());
    }

    void setAsideThenNone() {
        QCOMPARE(fs::setAside(state_), ENOENT);
        const std::string first = sampleBytes(false);
        QCOMPARE(fs::setAside(state_), 0);
        QCOMPARE(fs::readJournal(state_).status, Status::None);
        QCOMPARE(testutil::readFile(fs::journalPath(state_) + ".bad"), first);
        // A later bad journal replaces the older one.
        QVERIFY(writeBytes(fs::journalPath(state_), "not a journal"));
        QCOMPARE(fs::readJournal(state_).status, Status::Bad);
        QCOMPARE(fs::setAside(state_), 0);
        QCOMPARE(fs::readJournal(state_).status, Status::None);
        QCOMPARE(testutil::readFile(fs::journalPath(state_) + ".bad"),
                 std::string("not a journal"));
    }

    void removeJournal() {
        QCOMPARE(fs::removeJournal(state_), ENOENT);
        QCOMPARE(writePlans(state_, samplePlans()), 0);
        QCOMPARE(fs::removeJournal(state_), 0);
        QCOMPARE(fs::readJournal(state_).status, Status::None);
    }

    void stateFolder_data() {
        QTest::addColumn<std::optional<std::string>>("xdg");  // under the temporary folder
        QTest::addColumn<bool>("absolute");
        QTest::addColumn<std::string>("expected");  // under the temporary folder
        QTest::newRow("absolute XDG_STATE_HOME")
            << std::optional<std::string>("xdg/deep") << true << std::string("/xdg/deep/kovra");
        QTest::newRow("not UTF-8")
            << std::optional<std::string>("\xff\xfe") << true << std::string("/\xff\xfe/kovra");
        QTest::newRow("relative XDG_STATE_HOME") << std::optional<std::string>("relative") << false
                                                 << std::string("/home/.local/state/kovra");
        QTest::newRow("empty XDG_STATE_HOME")
            << std::optional<std::string>("") << false << std::string("/home/.local/state/kovra");
        QTest::newRow("unset XDG_STATE_HOME")
            << std::optional<std::string>() << false << std::string("/home/.local/state/kovra");
    }
    void stateFolder() {
        QFETCH(std::optional<std::string>, xdg);
        QFETCH(bool, absolute);
        QFETCH(std::string, expected);
        const EnvGuard keepXdg("XDG_STATE_HOME");
        const EnvGuard keepHome("HOME");
        const std::string root = tmp_->path();
        ::setenv("HOME", (root + "/home").c_str(), 1);
        if (!xdg) {
            ::unsetenv("XDG_STATE_HOME");
        } else {
            ::setenv("XDG_STATE_HOME", (absolute ? root + "/" + *xdg : *xdg).c_str(), 1);
        }
        const std::string dir = fs::stateDirectory();
        QCOMPARE(dir, root + expected);
        QCOMPARE(writePlans(dir, samplePlans()), 0);
        QCOMPARE(mode(dir), 0700u);
        QCOMPARE(mode(fs::journalPath(dir)), 0600u);
        QCOMPARE(fs::readJournal(dir).status, Status::Ok);
    }

    void examine_data() {
        // What happened, in order: S the entry is a symbolic link, R renamed, L linked to the new
        // name, D deleted, O old name replaced by another file, N new name replaced by another
        // file, H new name made with data, E new name made empty (reserved).
        QTest::addColumn<std::string>("steps");
        QTest::addColumn<bool>("mayLeaveReservations");
        QTest::addColumn<EntryState>("state");
        QTest::addColumn<RenameMethod>("cutShortBy");
        QTest::newRow("not renamed yet")
            << std::string("") << false << EntryState::AtOldName << RenameMethod::Unknown;
        QTest::newRow("renamed") << std::string("R") << false << EntryState::AtNewName
                                 << RenameMethod::Unknown;
        QTest::newRow("linked, old name not yet removed")
            << std::string("L") << false << EntryState::CutShort << RenameMethod::LinkThenUnlink;
        QTest::newRow("deleted") << std::string("D") << false << EntryState::Missing
                                 << RenameMethod::Unknown;
        QTest::newRow("old name holds another file")
            << std::string("O") << false << EntryState::Missing << RenameMethod::Unknown;
        QTest::newRow("renamed, then the new name replaced")
            << std::string("RN") << false << EntryState::Missing << RenameMethod::Unknown;
        QTest::newRow("symbolic link renamed as itself")
            << std::string("SR") << false << EntryState::AtNewName << RenameMethod::Unknown;
        QTest::newRow("leftover reservation")
            << std::string("E") << true << EntryState::CutShort << RenameMethod::Reservation;
        QTest::newRow("empty new name, no reservations made")
            << std::string("E") << false << EntryState::AtOldName << RenameMethod::Unknown;
        QTest::newRow("new name holds data, not a reservation")
            << std::string("H") << true << EntryState::AtOldName << RenameMethod::Unknown;
        QTest::newRow("renamed onto its reservation")
            << std::string("ER") << true << EntryState::AtNewName << RenameMethod::Unknown;
    }
    void examine() {
        QFETCH(std::string, steps);
        QFETCH(bool, mayLeaveReservations);
        QFETCH(EntryState, state);
        QFETCH(RenameMethod, cutShortBy);
        const std::string dir = tmp_->path() + "/cats\xff";
        QCOMPARE(::mkdir(dir.c_str(), 0755), 0);
        const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY);
        QVERIFY(fd >= 0);
        const std::string oldName = "old\n\xfe";
        const std::string newName = "cats\xff_old\n\xfe";
        QVERIFY(testutil::makeFile(dir, "first", "1"));
        if (steps.find('S') != std::string::npos) {
            QVERIFY(testutil::makeFile(dir, "target", "t"));
            QCOMPARE(::symlinkat("target", fd, oldName.c_str()), 0);
        } else {
            QVERIFY(testutil::makeFile(dir, oldName, "data"));
        }
        const JournalPlan plan{dir,
                               *fs::fileIdAt(fd, "."),
                               mayLeaveReservations,
                               {{"first", "cats\xff_first", *fs::fileIdAt(fd, "first")},
                                {oldName, newName, *fs::fileIdAt(fd, oldName)}}};
        for (const char step : steps) {
            switch (step) {
                case 'R':  // renamed (onto the new name, if a reservation took it)
                    QCOMPARE(::renameat(fd, oldName.c_str(), fd, newName.c_str()), 0);
                    break;
                case 'L':
                    QCOMPARE(::linkat(fd, oldName.c_str(), fd, newName.c_str(), 0), 0);
                    break;
                case 'D':
                    QCOMPARE(::unlinkat(fd, oldName.c_str(), 0), 0);
                    break;
                case 'O':  // replaced while it exists, so its inode number cannot be reused
                    QVERIFY(testutil::makeFile(dir, "spare", "another"));
                    QCOMPARE(::renameat(fd, "spare", fd, oldName.c_str()), 0);
                    break;
                case 'N':
                    QVERIFY(testutil::makeFile(dir, "spare", "another"));
                    QCOMPARE(::renameat(fd, "spare", fd, newName.c_str()), 0);
                    break;
                case 'H':  // holds data
                    QVERIFY(testutil::makeFile(dir, newName, "another"));
                    break;
                case 'E':
                    QVERIFY(testutil::makeFile(dir, newName));
                    break;
            }
        }
        ::close(fd);
        // Through the journal, as recovery will read it.
        QCOMPARE(writePlan(state_, plan), 0);
        const fs::JournalRead read = fs::readJournal(state_);
        QCOMPARE(read.status, Status::Ok);
        const fs::FolderState progress = fs::examine(read.plans.at(0));
        QCOMPARE(progress.status, fs::FolderState::Status::Ok);
        QCOMPARE(progress.states, (std::vector<EntryState>{EntryState::AtOldName, state}));
        QCOMPARE(progress.cutShortBy,
                 (std::vector<RenameMethod>{RenameMethod::Unknown, cutShortBy}));
    }

    void otherFolderIsRefused_data() {
        QTest::addColumn<std::string>("change");
        QTest::addColumn<fs::FolderState::Status>("status");
        QTest::addColumn<int>("err");
        QTest::newRow("same folder") << std::string("none") << fs::FolderState::Status::Ok << 0;
        QTest::newRow("moved back") << std::string("move back") << fs::FolderState::Status::Ok << 0;
        QTest::newRow("replaced by a new folder")
            << std::string("replace") << fs::FolderState::Status::OtherFolder << 0;
        QTest::newRow("gone") << std::string("move") << fs::FolderState::Status::CannotOpen
                              << ENOENT;
        QTest::newRow("file system mounted over it")
            << std::string("mount") << fs::FolderState::Status::OtherFolder << 0;
    }
    void otherFolderIsRefused() {
        QFETCH(std::string, change);
        QFETCH(fs::FolderState::Status, status);
        QFETCH(int, err);
        const std::string dir = tmp_->path() + "/cats";
        const std::string moved = tmp_->path() + "/moved";
        QCOMPARE(::mkdir(dir.c_str(), 0755), 0);
        QVERIFY(testutil::makeFile(dir, "a"));
        const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY);
        QVERIFY(fd >= 0);
        const JournalPlan plan{
            dir, *fs::fileIdAt(fd, "."), false, {{"a", "cats_a", *fs::fileIdAt(fd, "a")}}};
        ::close(fd);
        bool mounted = false;
        if (change == "mount") {
            if (::mount("kovra-test", dir.c_str(), "tmpfs", 0, "size=1m") != 0) {
                QSKIP(qPrintable(QString("cannot mount a tmpfs here (%1): needs root in a "
                                         "mount-capable namespace")
                                     .arg(std::strerror(errno))));
            }
            mounted = true;
        } else if (change != "none") {
            QCOMPARE(::rename(dir.c_str(), moved.c_str()), 0);
            if (change == "replace") {
                QCOMPARE(::mkdir(dir.c_str(), 0755), 0);
                QVERIFY(testutil::makeFile(dir, "a"));
            } else if (change == "move back") {
                QCOMPARE(::rename(moved.c_str(), dir.c_str()), 0);
            }
        }
        const fs::FolderState progress = fs::examine(plan);
        fs::FolderState::Status openStatus{};
        int openErr = -1;
        const int runFd = fs::openRunFolder(plan, openStatus, openErr);
        if (runFd >= 0) {
            ::close(runFd);
        }
        if (mounted) {
            QCOMPARE(::umount2(dir.c_str(), MNT_DETACH), 0);
        }
        QCOMPARE(progress.status, status);
        QCOMPARE(progress.err, err);
        QCOMPARE(openStatus, status);
        QCOMPARE(openErr, err);
        QCOMPARE(runFd >= 0, status == fs::FolderState::Status::Ok);
        if (status != fs::FolderState::Status::Ok) {
            QVERIFY(progress.states.empty());
        }
    }

    void examineAtChecksTheDescriptor() {
        const std::string dir = tmp_->path() + "/cats";
        QCOMPARE(::mkdir(dir.c_str(), 0755), 0);
        const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY);
        QVERIFY(fd >= 0);
        const JournalPlan plan{dir, *fs::fileIdAt(fd, "."), false, {}};
        ::close(fd);
        const int other = ::open(tmp_->path().c_str(), O_RDONLY | O_DIRECTORY);
        QVERIFY(other >= 0);
        const fs::FolderState progress = fs::examineAt(other, plan);
        ::close(other);
        QCOMPARE(progress.status, fs::FolderState::Status::OtherFolder);
    }
};

QTEST_GUILESS_MAIN(TestJournal)
#include "tst_journal.moc"
