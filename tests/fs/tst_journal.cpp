#include <sys/file.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <QTest>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <numeric>
#include <optional>

#include "fs/journal/recorder.h"
#include "fs/undo/undo.h"
#include "testutil.h"

using Status = fs::JournalRead::Status;
using fs::EntryState;
using fs::JournalPlan;
using fs::RenameMethod;
using Plans = std::vector<JournalPlan>;
using Entries = std::vector<fs::JournalEntry>;

Q_DECLARE_METATYPE(std::string)
Q_DECLARE_METATYPE(JournalPlan)
Q_DECLARE_METATYPE(Plans)
Q_DECLARE_METATYPE(EntryState)
Q_DECLARE_METATYPE(fs::RenameMethod)
Q_DECLARE_METATYPE(fs::FolderState::Status)
Q_DECLARE_METATYPE(Status)
Q_DECLARE_METATYPE(std::optional<std::string>)

namespace {

JournalPlan plan(std::string folder, fs::FileId id, bool mayLeaveReservations, Entries entries) {
    JournalPlan p;
    p.folder = std::move(folder);
    p.folderId = id;
    p.mayLeaveReservations = mayLeaveReservations;
    p.entries = std::move(entries);
    return p;
}

// Writes `plans` as one run's journal, with what each says the run learnt on the way; the first
// plan says whether reservations may be left. Returns the journal's path, empty on failure (`err`).
std::string writePlans(const std::string& stateDir, const Plans& plans, int* err = nullptr) {
    fs::JournalWriter writer;
    int e = writer.begin(stateDir, !plans.empty() && plans[0].mayLeaveReservations);
    for (const JournalPlan& p : plans) {
        writer.addFolder(p.folder, p.folderId, p.identity, p.place);
        for (const fs::JournalEntry& entry : p.entries) {
            writer.add(entry.oldName, entry.newName, entry.fileId);
        }
    }
    if (e == 0) {
        e = writer.commit();
    }
    for (std::size_t f = 0; e == 0 && f < plans.size(); ++f) {
        for (const std::string& name : plans[f].linked) {
            writer.recordLinked(f, name);
        }
        for (const JournalPlan::Reservation& r : plans[f].reservations) {
            writer.recordReservation(f, r.name, r.id);
        }
    }
    if (err != nullptr) {
        *err = e;
    }
    return e == 0 ? writer.path() : std::string();
}

// A journal of one folder begun: `folder` whose identity is `id`.
int beginOne(fs::JournalWriter& writer, const std::string& stateDir, const std::string& folder,
             fs::FileId id, bool mayLeaveReservations) {
    const int err = writer.begin(stateDir, mayLeaveReservations ? 1 : 0);
    return err != 0 ? err : writer.addFolder(folder, id);
}

bool writeBytes(const std::string& path, const std::string& data) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd < 0) {
        return false;
    }
    const bool ok = ::write(fd, data.data(), data.size()) == static_cast<ssize_t>(data.size());
    return ::close(fd) == 0 && ok;
}

std::uint64_t le(const std::string& bytes, std::size_t at, int n) {
    std::uint64_t v = 0;
    for (int i = n - 1; i >= 0; --i) {
        v = (v << 8) | static_cast<unsigned char>(bytes[at + i]);
    }
    return v;
}

void setLe(std::string& bytes, std::size_t at, std::uint64_t v, int n) {
    for (int i = 0; i < n; ++i) {
        bytes[at + i] = static_cast<char>(v >> (8 * i));
    }
}

// Where each record of a journal ends, after the head.
std::vector<std::size_t> recordEnds(const std::string& bytes) {
    std::vector<std::size_t> ends;
    for (std::size_t at = fs::journal_format::kHeadBytes; at + 20 <= bytes.size();) {
        at += 20 + le(bytes, at + 4, 4);
        ends.push_back(at);
    }
    return ends;
}

// One record of a journal: where it lies, its type and, for renames, their folder and count.
struct Record {
    std::size_t start = 0;
    std::size_t end = 0;
    std::uint32_t type = 0;
    std::uint32_t folder = 0;
    std::uint32_t count = 0;
};
constexpr std::uint32_t kFolderRecord = 1;
constexpr std::uint32_t kRenamesRecord = 2;

std::vector<Record> records(const std::string& bytes) {
    std::vector<Record> out;
    std::size_t at = fs::journal_format::kHeadBytes;
    for (const std::size_t end : recordEnds(bytes)) {
        Record r{at, end, static_cast<std::uint32_t>(le(bytes, at, 4))};
        if (r.type == kRenamesRecord) {
            r.folder = static_cast<std::uint32_t>(le(bytes, at + 12, 4));
            r.count = static_cast<std::uint32_t>(le(bytes, at + 16, 4));
        }
        out.push_back(r);
        at = end;
    }
    return out;
}

// The checksum of the version before, whose plan was whole before any rename: 64-bit FNV-1a.
std::uint64_t fnv1a(std::string_view bytes) {
    std::uint64_t h = 14695981039346656037ULL;
    for (const char c : bytes) {
        h = (h ^ static_cast<unsigned char>(c)) * 1099511628211ULL;
    }
    return h;
}

// Makes every checksum right again after a deliberate change, as the file's version checks
// them, so that only what the reader checks beyond them decides.
void reframe(std::string& bytes) {
    const auto sum = le(bytes, 8, 4) == fs::journal_format::kWholePlanVersion
                         ? fnv1a
                         : [](std::string_view b) { return fs::journalChecksum(b); };
    setLe(bytes, 24, sum(std::string_view(bytes).substr(0, 24)), 8);
    std::size_t at = fs::journal_format::kHeadBytes;
    for (const std::size_t end : recordEnds(bytes)) {
        setLe(bytes, at + 8, sum(std::string_view(bytes).substr(at, 8)), 4);
        setLe(bytes, end - 8, sum(std::string_view(bytes).substr(at, end - 8 - at)), 8);
        at = end;
    }
}

// Two folders, the second with no entries, then a third: every kind of section boundary.
Plans samplePlans() {
    return {plan("/pics/cats", {11, 22}, false,
                 {{"a.jpg", "cats_a.jpg", {11, 101}},
                  {"\xff\xfe.png", "cats_\xff\xfe.png", {11, 102}}}),
            plan("/pics/cats/empty", {11, 23}, false, {}),
            plan("/pics/cats/sub", {11, 24}, false, {{"a.jpg", "sub_a.jpg", {11, 103}}})};
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

    // A sample run as bytes: its plan, a reservation and a link it made, and its end.
    std::string sampleBytes() {
        fs::JournalWriter writer;
        writer.begin(state_, false);
        for (const JournalPlan& p : samplePlans()) {
            writer.addFolder(p.folder, p.folderId);
            for (const fs::JournalEntry& e : p.entries) {
                writer.add(e.oldName, e.newName, e.fileId);
            }
        }
        writer.commit();
        writer.recordReservation(0, "cats_a.jpg", {11, 900});
        writer.recordLinked(2, "sub_a.jpg");
        const std::string path = writer.path();
        writer.end(2);
        return testutil::readFile(path);
    }

    // A merge of this version with a record of every kind, as bytes: two folders into a
    // destination, and all a run, an undo and a finish record of their entries.
    std::string mergeBytes() {
        fs::JournalWriter writer;
        writer.begin(state_,
                     fs::journal_format::kMerge | fs::journal_format::kMayLeaveReservations);
        const char* const folders[] = {"/nonexistent-kovra/all", "/nonexistent-kovra/cats",
                                       "/nonexistent-kovra/dogs"};
        for (std::uint32_t f = 0; f < 3; ++f) {
            fs::FolderRecord record;
            record.path = folders[f];
            record.id = {7, 100 + f};
            record.destination = f == 0;
            record.target = f == 0 ? fs::kNoFolder : 0;
            record.walked = f != 0;
            writer.addFolder(record);
            for (int i = 0; f != 0 && i < 3; ++i) {
                writer.add("p" + std::to_string(i), "x" + std::to_string(i),
                           {7, 200 + 10 * f + static_cast<std::uint64_t>(i)});
            }
        }
        writer.setMerge({true, false, true, false, false}, 0);
        writer.commit();
        struct stat st {};
        ::stat(state_.c_str(), &st);
        writer.recordLinked(1, "x0");
        writer.recordLinkMade(1, "x0");
        writer.recordReservation(1, "x1", {});
        writer.recordReservationMade(1, "x1", st);
        writer.recordNumbered(1, 2, "x2 (2)");
        writer.recordTrashing(2, 0, "/nonexistent-kovra/.Trash-0", "p0");
        writer.recordCopying(2, 1);
        writer.recordCopyMade(2, 1, {8, 300});
        fs::EntryEvents copied;
        copied.copyId = {8, 300};
        writer.recordCopied(2, 1, copied);
        writer.recordCopyingBack(2, 1, {7, 400});
        writer.recordMovedAs(2, 2, {7, 500});
        writer.recordRemoving({2, 1});
        writer.recordFolderMade(1, {});
        writer.recordFolderMade(1, {7, 600});
        const std::string path = writer.path();
        writer.end(6, {1, 2, 3});
        fs::markPartlyUndone(path, 2, 6);
        return testutil::readFile(path);
    }

    // A run whose plan is written as it goes: a first folder of more renames than one chunk
    // holds (its later chunks more than one record holds, written record by record), each to the
    // folder's name, "_" and its own, a reservation made meanwhile, a second folder whose renames
    // the run waiting for them makes, a link made there, the rest of the first folder, and the
    // end. As bytes, with the plan as it was given.
    std::string streamedBytes(Plans& plans) {
        Entries many;
        for (int i = 0; i < 100000; ++i) {
            const std::string name = "f" + std::to_string(i);
            many.push_back({name, "a_" + name, {1, static_cast<std::uint64_t>(i) + 10}});
        }
        plans = {plan("/pics/a", {1, 2}, true, many),
                 plan("/pics/b", {1, 3}, true, {{"x", "b_x", {1, 5}}, {"y", "b_y", {1, 6}}})};
        // The first folder's renames are the usual ones, kept without their new names.
        const auto sourceOf = [&plans](std::size_t f) {
            return [&plans, f](std::uint64_t i, fs::EntrySink& out) {
                const fs::JournalEntry& e = plans[f].entries[i];
                if (f == 0) {
                    out.addUsual(e.oldName, e.fileId);
                } else {
                    out.add(e.oldName, e.newName, e.fileId);
                }
            };
        };
        fs::JournalWriter writer;
        std::size_t a = 0;
        std::size_t b = 0;
        std::uint64_t kept = 0;
        writer.begin(state_, true);
        fs::FolderRecord first;
        first.path = plans[0].folder;
        first.id = plans[0].folderId;
        fs::FolderRecord second;
        second.path = plans[1].folder;
        second.id = plans[1].folderId;
        writer.addFolder(first, many.size(), sourceOf(0), false, a);
        writer.commit();
        writer.recordReservation(a, "a_f0", {1, 900});
        writer.addFolder(second, 2, sourceOf(1), true, b);
        writer.waitKept(b, 2, kept);
        writer.recordLinked(b, "b_x");
        writer.waitKept(a, many.size(), kept);
        const std::string path = writer.path();
        writer.end(3);
        plans[0].reservations = {{"a_f0", {1, 900}}};
        plans[1].linked = {"b_x"};
        return testutil::readFile(path);
    }

    // `bytes` as the only run in the state folder; its path.
    std::string runPath(const std::string& bytes) {
        const std::string runs = fs::runsDirectory(state_);
        fs::makeStateDirectory(runs);
        const std::string path = runs + "/run-1000";
        writeBytes(path, bytes);
        return path;
    }

    // Reads `bytes` as a run's journal.
    fs::JournalRead readAs(const std::string& bytes) {
        const std::string path = tmp_->path() + "/as-journal";
        writeBytes(path, bytes);
        return fs::readJournal(path);
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
        QTest::newRow("no entries") << Plans{plan("/pics/cats", folder, false, {})};
        QTest::newRow("plain names")
            << Plans{plan("/pics/cats", folder, false, {{"a.jpg", "cats_a.jpg", {2049, 5}}})};
        QTest::newRow("not UTF-8")
            << Plans{plan("/pics/\x8c\x4c\xff", folder, false,
                          {{"\xff\xfe.jpg", "\x8c\x4c\xff_\xff\xfe.jpg", {1, 2}}})};
        QTest::newRow("newline and control bytes")
            << Plans{plan("/pics/line\nbreak", folder, false,
                          {{"a\nb\t\x01", "line\nbreak_a\nb\t\x01", {1, 2}}})};
        QTest::newRow("one-byte names")
            << Plans{plan("/", folder, false, {{"a", "b", {1, 2}}, {"b", "c", {1, 3}}})};
        QTest::newRow("255-byte names") << Plans{plan(
            "/pics", folder, false, {{std::string(255, 'x'), std::string(255, '\xe3'), {1, 2}}})};
        QTest::newRow("largest identities")
            << Plans{plan("/pics", {UINT64_MAX, UINT64_MAX}, false, {{"a", "b", {UINT64_MAX, 0}}})};
        QTest::newRow("reservations may be left")
            << Plans{plan("/pics/cats", folder, true, {{"a", "cats_a", {1, 2}}})};
        JournalPlan onCard = plan("/media/u/CARD/DCIM", folder, true, {{"a", "DCIM_a", {7, 8}}});
        onCard.identity = fs::IdentityKind::SizeAndTime;
        onCard.place = {"UUID=1234-ABCD", "/", "/media/u/CARD", "DCIM", "CARD \xff"};
        QTest::newRow("on a card, with its place") << Plans{onCard};
        JournalPlan many = plan("/pics/cats", folder, false, {});
        for (int i = 0; i < 30000; ++i) {
            const std::string name = "file" + std::to_string(i);
            many.entries.push_back({name, "cats_" + name, {1, static_cast<std::uint64_t>(i)}});
        }
        QTest::newRow("entries over several records") << Plans{many};
        QTest::newRow("several folders, one without entries") << samplePlans();
        QTest::newRow("the same names in two folders")
            << Plans{plan("/a/cats", {1, 1}, false, {{"x", "cats_x", {1, 2}}}),
                     plan("/b/cats", {1, 3}, false, {{"x", "cats_x", {1, 4}}})};
        Plans thousand;
        for (int i = 0; i < 1000; ++i) {
            const std::string name = "/tree/d" + std::to_string(i);
            thousand.push_back(plan(name, {1, static_cast<std::uint64_t>(i)}, false,
                                    {{"a", "d" + std::to_string(i) + "_a", {1, 9}}}));
        }
        QTest::newRow("a thousand folders") << thousand;
    }
    void roundTrip() {
        QFETCH(Plans, plans);
        const std::string path = writePlans(state_, plans);
        QVERIFY(!path.empty());
        const fs::JournalRead read = fs::readJournal(path);
        QCOMPARE(read.status, Status::Ok);
        QVERIFY(read.plans == plans);
        QVERIFY(!read.ended);
        // The summary tells the same folders and counts without the renames.
        const fs::JournalRead summary = fs::readJournalSummary(path);
        QCOMPARE(summary.status, Status::Ok);
        QCOMPARE(summary.plans.size(), plans.size());
        std::int64_t entries = 0;
        for (std::size_t f = 0; f < plans.size(); ++f) {
            QCOMPARE(summary.plans[f].folder, plans[f].folder);
            entries += static_cast<std::int64_t>(plans[f].entries.size());
        }
        QCOMPARE(summary.entries, entries);
        // Nothing but the run's journal is left among the runs.
        QCOMPARE(fs::runJournals(state_), std::vector<std::string>{path});
        QCOMPARE(testutil::entries(fs::runsDirectory(state_)).size(), std::size_t{1});
    }

    // What the run learns on the way and how it ends is read back; a run that renamed nothing
    // leaves no journal.
    void recordsAfterThePlan() {
        const fs::JournalRead read = readAs(sampleBytes());
        QCOMPARE(read.status, Status::Ok);
        QVERIFY(read.ended);
        QCOMPARE(read.renamed, 2);
        QVERIFY(read.startedAt > 0 && read.endedAt >= read.startedAt);
        QCOMPARE(read.plans.at(0).reservations.size(), std::size_t{1});
        QCOMPARE(read.plans.at(0).reservations[0].name, std::string("cats_a.jpg"));
        QVERIFY(read.plans.at(0).reservations[0].id == (fs::FileId{11, 900}));
        QCOMPARE(read.plans.at(2).linked, std::vector<std::string>{"sub_a.jpg"});
        const std::string path = writePlans(state_, samplePlans());
        QCOMPARE(fs::markKept(path), 0);
        QCOMPARE(fs::markUndone(path), 0);
        const fs::JournalRead marked = fs::readJournal(path);
        QVERIFY(marked.kept && marked.undone && !marked.ended);

        fs::JournalWriter nothing;
        QCOMPARE(beginOne(nothing, state_, "/pics", {1, 2}, false), 0);
        nothing.add("a", "pics_a", {1, 3});
        QCOMPARE(nothing.commit(), 0);
        const std::string gone = nothing.path();
        QCOMPARE(nothing.end(0), 0);
        QCOMPARE(fs::readJournal(gone).status, Status::None);
    }

    // A kill may cut the file anywhere while its plan is written ahead of the renames: what was
    // written whole is read, the plan so far included, and a record cut short at the end is as if
    // unwritten (the renames it held never began). A damaged record before the last one makes
    // the whole journal damaged, never a shorter plan.
    void cutShort_data() {
        QTest::addColumn<int>("record");  // counted from the first after the head; -1: the last
        QTest::addColumn<int>("type");    // of that type, or any when 0
        QTest::addColumn<bool>("damaged");
        QTest::newRow("cut inside the first folder") << 0 << int(kFolderRecord) << false;
        QTest::newRow("cut inside the first chunk") << 0 << int(kRenamesRecord) << false;
        QTest::newRow("cut inside a later chunk") << 1 << int(kRenamesRecord) << false;
        QTest::newRow("cut inside the last chunk") << -1 << int(kRenamesRecord) << false;
        QTest::newRow("cut inside the second folder") << 1 << int(kFolderRecord) << false;
        QTest::newRow("cut inside the end") << -1 << 0 << false;
        QTest::newRow("first chunk damaged") << 0 << int(kRenamesRecord) << true;
        QTest::newRow("later chunk damaged") << 1 << int(kRenamesRecord) << true;
        QTest::newRow("second folder damaged") << 1 << int(kFolderRecord) << true;
    }
    void cutShort() {
        QFETCH(int, record);
        QFETCH(int, type);
        QFETCH(bool, damaged);
        Plans given;
        const std::string whole = streamedBytes(given);
        const fs::JournalRead all = readAs(whole);
        QCOMPARE(all.status, Status::Ok);
        QVERIFY(all.plans == given && all.ended);
        QCOMPARE(all.plans[0].reservations, given[0].reservations);
        QCOMPARE(all.plans[1].linked, given[1].linked);
        const std::vector<Record> list = records(whole);
        std::vector<Record> ofType;
        std::copy_if(list.begin(), list.end(), std::back_inserter(ofType), [type](const Record& r) {
            return type == 0 || r.type == std::uint32_t(type);
        });
        int renamesOfFirst = 0;
        for (const Record& r : list) {
            renamesOfFirst += r.type == kRenamesRecord && r.folder == 0;
        }
        QVERIFY2(renamesOfFirst > 2, "the first folder's plan came in too few chunks");
        const Record target = record < 0 ? ofType.back() : ofType.at(std::size_t(record));
        const auto found = std::find_if(list.begin(), list.end(),
                                        [&](const Record& r) { return r.start == target.start; });
        const auto index = static_cast<std::size_t>(found - list.begin());

        if (damaged) {
            // Some record follows: the change cannot be a write a kill interrupted.
            QVERIFY(index + 1 < list.size());
            for (const std::size_t at : {target.start + 12, (target.start + target.end) / 2}) {
                std::string bytes = whole;
                bytes[at] = static_cast<char>(bytes[at] ^ 0x10);
                const fs::JournalRead read = readAs(bytes);
                QVERIFY2(read.status == Status::Bad && read.plans.empty(),
                         qPrintable(QString("byte %1").arg(at)));
            }
            return;
        }
        for (const std::size_t size : {target.start + 1, target.start + 19, target.end - 1}) {
            const fs::JournalRead read = readAs(whole.substr(0, size));
            const QString where = QString("cut at %1").arg(size);
            // What the records before the cut hold.
            std::vector<std::size_t> renames;
            std::size_t reservations = 0;
            std::size_t linked = 0;
            for (std::size_t i = 0; i < index; ++i) {
                const Record& r = list[i];
                if (r.type == kFolderRecord) {
                    renames.push_back(0);
                } else if (r.type == kRenamesRecord) {
                    renames.at(r.folder) += r.count;
                } else {
                    reservations += r.type == 5;
                    linked += r.type == 4;
                }
            }
            if (renames.empty()) {
                QVERIFY2(read.status == Status::Bad && read.plans.empty(), qPrintable(where));
                continue;
            }
            QVERIFY2(read.status == Status::Ok && !read.ended, qPrintable(where));
            QCOMPARE(read.plans.size(), renames.size());
            for (std::size_t f = 0; f < renames.size(); ++f) {
                const Entries& entries = given[f].entries;
                QCOMPARE(read.plans[f].folder, given[f].folder);
                QVERIFY2(read.plans[f].entries ==
                             Entries(entries.begin(), entries.begin() + long(renames[f])),
                         qPrintable(where));
            }
            QCOMPARE(read.plans[0].reservations.size(), reservations);
            QCOMPARE(read.plans.size() > 1 ? read.plans[1].linked.size() : 0, linked);
            // The summary counts the same renames.
            writeBytes(tmp_->path() + "/as-journal", whole.substr(0, size));
            QCOMPARE(fs::readJournalSummary(tmp_->path() + "/as-journal").entries,
                     std::int64_t(std::accumulate(renames.begin(), renames.end(), 0)));
        }
    }

    // A flipped byte anywhere but in the last record's payload and checksum makes the journal
    // damaged; there, it is a record a kill interrupted.
    void flippedByte() {
        const std::string whole = sampleBytes();
        const std::size_t last = recordEnds(whole).end()[-2] + 12;
        for (std::size_t at = 0; at < whole.size(); ++at) {
            for (const unsigned char flip : {0x01, 0x80, 0xff}) {
                std::string damaged = whole;
                damaged[at] = static_cast<char>(damaged[at] ^ flip);
                const fs::JournalRead read = readAs(damaged);
                const QString where = QString("byte %1 ^ %2").arg(at).arg(flip);
                if (at < last) {
                    QVERIFY2(read.status == Status::Bad && read.plans.empty(), qPrintable(where));
                } else {
                    QVERIFY2(read.status == Status::Ok && !read.ended, qPrintable(where));
                    QVERIFY(read.plans == samplePlans());
                }
            }
        }
    }

    // A file of another version than the ones this program knows is not acted on.
    void unknownVersion_data() {
        QTest::addColumn<std::uint32_t>("version");
        QTest::addColumn<Status>("status");
        QTest::newRow("this version") << fs::journal_format::kVersion << Status::Ok;
        QTest::newRow("version 0") << std::uint32_t{0} << Status::Bad;
        QTest::newRow("next version") << fs::journal_format::kVersion + 1 << Status::Bad;
    }
    void unknownVersion() {
        QFETCH(std::uint32_t, version);
        QFETCH(Status, status);
        std::string bytes = sampleBytes();
        setLe(bytes, 8, version, 4);
        reframe(bytes);  // a well-made file of another version
        const fs::JournalRead read = readAs(bytes);
        QCOMPARE(read.status, status);
        if (status == Status::Ok) {
            QVERIFY(read.plans == samplePlans() && read.ended);
        }
    }

    // Any byte of a journal flipped, and any length of it cut off: the reader reads up to the
    // damage or calls the run damaged, and the history, the offer and undo go on without a
    // crash, acting on nothing (the folders named do not exist).
    void damagedJournalsAreSurvived_data() {
        QTest::addColumn<QString>("file");  // stored, or made now
        QTest::newRow("version 3, a rename") << QString("v3-rename.journal");
        QTest::newRow("version 4, a rename") << QString("v4-rename.journal");
        QTest::newRow("version 4, a merge") << QString("v4-merge.journal");
        QTest::newRow("this version, a merge") << QString();
    }
    void damagedJournalsAreSurvived() {
        QFETCH(QString, file);
        const std::string whole =
            file.isEmpty()
                ? mergeBytes()
                : testutil::readFile(std::string(KOVRA_TEST_DATA) + "/" + file.toStdString());
        QVERIFY(whole.size() > fs::journal_format::kHeadBytes);
        QCOMPARE(fs::readJournal(runPath(whole)).status, Status::Ok);
        int bad = 0;
        for (std::size_t at = 0; at < 2 * whole.size(); ++at) {
            std::string damaged = whole;
            if (at < whole.size()) {
                damaged[at] = static_cast<char>(damaged[at] ^ 0x5a);
            } else {
                damaged.resize(at - whole.size());
            }
            const std::string path = runPath(damaged);
            const fs::JournalRead read = fs::readJournal(path);
            bad += read.status == Status::Bad;
            QVERIFY(read.status != Status::Ok || !read.plans.empty());
            QVERIFY(read.destination == fs::kNoFolder || read.destination < read.plans.size());
            const fs::JournalRead summary = fs::readJournalSummary(path);
            QVERIFY(summary.destination == fs::kNoFolder ||
                    summary.destination < summary.plans.size());
            // The history, the offer and undo on what the reader gave (one damage in eight: they
            // cost more time than reading).
            if (at % 8 == 0) {
                fs::runHistory(state_);
                fs::pendingRun(state_);
                fs::undoRun(path);
                fs::finishRun(path);
            }
        }
        QVERIFY(bad > 0);
    }

    // Journals the versions before wrote, kept as they wrote them: a rename over two folders
    // (one of them on a card), with a link and a reservation it made, ended; and a merge into a
    // folder it made, one file numbered, one put in the Trash, one linked, one copied to another
    // drive, its folder removed, ended.
    void earlierVersions_data() {
        QTest::addColumn<QString>("file");
        QTest::newRow("version 3, a rename") << QString("v3-rename.journal");
        QTest::newRow("version 4, a rename") << QString("v4-rename.journal");
    }
    void earlierVersions() {
        QFETCH(QString, file);
        const fs::JournalRead read =
            fs::readJournal(std::string(KOVRA_TEST_DATA) + "/" + file.toStdString());
        QCOMPARE(read.status, Status::Ok);
        QVERIFY(!read.merge() && read.ended);
        QCOMPARE(read.renamed, 3);
        QCOMPARE(read.plans.size(), std::size_t{2});
        const JournalPlan& cats = read.plans[0];
        QCOMPARE(cats.folder, std::string("/tmp/kovra-v4/cats"));
        QVERIFY(cats.place ==
                (fs::FolderPlace{"UUID=1234-ABCD", "/", "/tmp", "kovra-v4/cats", "CARD"}));
        QVERIFY(cats.entries == (Entries{{"a.jpg", "cats_a.jpg", {2049, 101}},
                                         {"b.jpg", "cats_b.jpg", {2049, 102}}}));
        QCOMPARE(cats.linked, std::vector<std::string>{"cats_a.jpg"});
        QCOMPARE(cats.leftAt, std::int64_t{111});
        const JournalPlan& dogs = read.plans[1];
        QCOMPARE(dogs.identity, fs::IdentityKind::SizeAndTime);
        QVERIFY(dogs.entries == (Entries{{"c.jpg", "dogs_c.jpg", {5, 1700000000123456789ull}}}));
        QCOMPARE(dogs.reservations.size(), std::size_t{1});
        QCOMPARE(dogs.reservations[0].name, std::string("dogs_c.jpg"));
        QVERIFY(dogs.mayLeaveReservations);
    }
    void earlierMerge() {
        const fs::JournalRead read =
            fs::readJournal(std::string(KOVRA_TEST_DATA) + "/v4-merge.journal");
        QCOMPARE(read.status, Status::Ok);
        QVERIFY(read.merge() && read.ended);
        QCOMPARE(read.plans.size(), std::size_t{2});
        QCOMPARE(read.destination, 1u);
        QVERIFY(read.flags == (fs::MergeFlags{true, false, true, false, false}));
        const JournalPlan& all = read.plans[1];
        QCOMPARE(all.folder, std::string("/tmp/kovra-v4/all"));
        QVERIFY(all.destination);
        const JournalPlan& cats = read.plans[0];
        QCOMPARE(cats.target, 1u);
        QVERIFY(cats.walked && cats.removing);
        QVERIFY(cats.entries == (Entries{{"a.jpg", "cats_a.jpg", {2049, 101}},
                                         {"cats_b.jpg", "cats_b.jpg", {2049, 102}},
                                         {"c.jpg", "cats_c.jpg", {2049, 103}},
                                         {"d.jpg", "cats_d.jpg", {2049, 104}}}));
        QCOMPARE(cats.eventsOf(0)->numbered, std::string("cats_a (2).jpg"));
        QVERIFY(cats.eventsOf(1)->trashing);
        QCOMPARE(cats.eventsOf(1)->trashName, std::string("cats_b.jpg"));
        QCOMPARE(cats.linked, std::vector<std::string>{"cats_c.jpg"});
        const fs::EntryEvents* copied = cats.eventsOf(3);
        QVERIFY(copied->copied && copied->ownerKnown);
        QVERIFY(copied->copyMade == (fs::FileId{77, 78}));
        QCOMPARE(copied->mode, 0600u);
        QCOMPARE(copied->uid, 1000u);
    }

    // Journals of this version as the program wrote them (tests/fs/data/make-v5.sh): a rename over
    // two folders, and a merge into a folder that held a file of the same name and other content
    // (numbered) and one of the same content (to the Trash).
    void thisVersion() {
        const std::string data = KOVRA_TEST_DATA;
        const fs::JournalRead rename = fs::readJournal(data + "/v5-rename.journal");
        QCOMPARE(rename.status, Status::Ok);
        QVERIFY(!rename.merge() && rename.ended);
        QCOMPARE(rename.renamed, 3);
        QCOMPARE(rename.plans.size(), std::size_t{2});
        QCOMPARE(rename.plans[0].folder, std::string("/tmp/kovra-v5/cats"));
        QCOMPARE(rename.plans[0].entries.size(), std::size_t{2});
        QCOMPARE(rename.plans[0].entries[1].oldName, std::string("b.jpg"));
        QCOMPARE(rename.plans[0].entries[1].newName, std::string("cats_b.jpg"));
        QCOMPARE(rename.plans[1].entries.at(0).newName, std::string("dogs_c.jpg"));

        const fs::JournalRead merge = fs::readJournal(data + "/v5-merge.journal");
        QCOMPARE(merge.status, Status::Ok);
        QVERIFY(merge.merge() && merge.ended && merge.flags.number);
        QCOMPARE(merge.plans.size(), std::size_t{3});
        QCOMPARE(merge.destination, 0u);
        QCOMPARE(merge.plans[0].folder, std::string("/tmp/kovra-v5/all"));
        const JournalPlan& p = merge.plans[1];
        QCOMPARE(p.folder, std::string("/tmp/kovra-v5/pics/p"));
        QVERIFY(p.walked && p.removing);
        QCOMPARE(p.entries.size(), std::size_t{2});
        QCOMPARE(p.eventsOf(1)->numbered, std::string("p_y (2).jpg"));
        const JournalPlan& q = merge.plans[2];
        QCOMPARE(q.entries.at(0).oldName, std::string("z.jpg"));
        QVERIFY(q.eventsOf(0)->trashing);
        QCOMPARE(q.eventsOf(0)->trashName, std::string("z.jpg"));
    }

    void namesThatCannotBeRenamed_data() {
        QTest::addColumn<std::string>("oldName");
        QTest::addColumn<std::string>("newName");
        QTest::addColumn<std::string>("find");  // replaced in the file, checksums made right again
        QTest::addColumn<std::string>("replace");
        QTest::addColumn<Status>("status");
        auto row = [](const char* name, std::string oldName, std::string newName, std::string find,
                      std::string replace, Status status) {
            QTest::newRow(name) << oldName << newName << find << replace << status;
        };
        using S = std::string;
        const S oneEntry("\x01\0\0\0\x04\0\0\0long", 12);
        row("unchanged", "a_b", "n", "a_b", "a_b", Status::Ok);
        row("slash in a name", "dir_name", "n", "dir_name", "dir/name", Status::Bad);
        row("NUL in a name", "nul\x7f", "n", "nul\x7f", S("nul\0", 4), Status::Bad);
        row("dot", "\x7f", "n", S("\x01\0\0\0\x7f", 5), S("\x01\0\0\0.", 5), Status::Bad);
        row("dot dot", "\x7f\x7f", "n", S("\x02\0\0\0\x7f\x7f", 6), S("\x02\0\0\0..", 6),
            Status::Bad);
        row("new name same as old", "same1", "same2", "same2", "same1", Status::Bad);
        row("relative folder", "a", "n", "/pics/cats", "xpics/cats", Status::Bad);
        row("entry count beyond the record", "long", "n", oneEntry,
            S("\xff\xff\xff\x7f\x04\0\0\0long", 12), Status::Bad);
        row("one entry more than written", "long", "n", oneEntry, S("\x02\0\0\0\x04\0\0\0long", 12),
            Status::Bad);
        row("one entry fewer than written", "long", "n", oneEntry, S("\0\0\0\0\x04\0\0\0long", 12),
            Status::Bad);
        row("name longer than the record", "long", "n", S("\x04\0\0\0long", 8),
            S("\xff\xff\xff\x7flong", 8), Status::Bad);
        row("renames of a folder not written", "long", "n", S("\0\0\0\0", 4) + oneEntry,
            S("\x01\0\0\0", 4) + oneEntry, Status::Bad);
    }
    void namesThatCannotBeRenamed() {
        QFETCH(std::string, oldName);
        QFETCH(std::string, newName);
        QFETCH(std::string, find);
        QFETCH(std::string, replace);
        QFETCH(Status, status);
        QCOMPARE(replace.size(), find.size());  // only what is checked changes
        const std::string path =
            writePlans(state_, {plan("/pics/cats", {5, 6}, false, {{oldName, newName, {5, 7}}})});
        std::string bytes = testutil::readFile(path);
        const std::size_t at = bytes.find(find, fs::journal_format::kHeadBytes);
        QVERIFY(at != std::string::npos);
        QCOMPARE(bytes.find(find, at + 1), std::string::npos);
        bytes.replace(at, find.size(), replace);
        reframe(bytes);
        const fs::JournalRead read = readAs(bytes);
        QCOMPARE(read.status, status);
        if (status == Status::Bad) {
            QVERIFY(read.plans.empty());
        }
    }

    // A plan the writer refuses, or one dropped before its commit, leaves no run and no
    // temporary behind.
    void writerLeavesNothingOfAFailedPlan_data() {
        QTest::addColumn<Plans>("plans");
        QTest::addColumn<bool>("entryFirst");  // a rename added before any folder
        QTest::addColumn<bool>("commit");
        auto bad = [](std::string folder, std::string oldName, std::string newName) {
            return Plans{plan(std::move(folder), {1, 2}, false,
                              {{"fine", "cats_fine", {1, 3}}, {oldName, newName, {1, 4}}})};
        };
        QTest::newRow("relative folder") << bad("pics", "a", "b") << false << true;
        QTest::newRow("slash") << bad("/pics", "a/b", "c") << false << true;
        QTest::newRow("empty") << bad("/pics", "a", "") << false << true;
        QTest::newRow("dot dot") << bad("/pics", "..", "a") << false << true;
        QTest::newRow("NUL") << bad("/pics", "a", std::string("b\0c", 3)) << false << true;
        QTest::newRow("same names") << bad("/pics", "a", "a") << false << true;
        QTest::newRow("no folder, no entry") << Plans{} << false << true;
        QTest::newRow("an entry before any folder") << Plans{} << true << true;
        QTest::newRow("dropped before its commit") << samplePlans() << false << false;
    }
    void writerLeavesNothingOfAFailedPlan() {
        QFETCH(Plans, plans);
        QFETCH(bool, entryFirst);
        QFETCH(bool, commit);
        {
            fs::JournalWriter writer;
            QCOMPARE(writer.begin(state_, false), 0);
            if (entryFirst) {
                writer.add("a", "cats_a", {1, 2});
            }
            for (const JournalPlan& p : plans) {
                writer.addFolder(p.folder, p.folderId);
                for (const fs::JournalEntry& e : p.entries) {
                    writer.add(e.oldName, e.newName, e.fileId);
                }
            }
            if (commit) {
                QCOMPARE(writer.commit(), EINVAL);
            }
        }
        QVERIFY(testutil::entries(fs::runsDirectory(state_)).empty());
    }

    // A writer holds its run locked from the start: another process sees it busy, and the
    // temporaries of writers that died are removed, those of live ones not.
    void writersHoldTheirRuns() {
        QCOMPARE(fs::makeStateDirectory(state_), 0);
        const std::string runs = fs::runsDirectory(state_);
        QCOMPARE(::mkdir(runs.c_str(), 0700), 0);
        QVERIFY(testutil::makeFile(runs, ".tmp.dead", "left by a kill"));
        QVERIFY(testutil::makeFile(runs, ".tmp.alive", "still being written"));
        const int alive = ::open((runs + "/.tmp.alive").c_str(), O_RDONLY);
        QVERIFY(alive >= 0 && ::flock(alive, LOCK_EX) == 0);
        fs::JournalWriter writer;
        QCOMPARE(beginOne(writer, state_, "/pics", {1, 2}, false), 0);
        writer.add("a", "pics_a", {1, 3});
        QCOMPARE(writer.commit(), 0);
        ::close(alive);
        std::vector<std::string> names = testutil::entries(runs);
        QCOMPARE(names.size(), std::size_t{2});
        QVERIFY(std::count(names.begin(), names.end(), ".tmp.alive") == 1);
        QVERIFY(fs::LockedRun(writer.path()).busy());
        QCOMPARE(fs::runHistory(state_).at(0).state, fs::RunSummary::State::InProgress);
        QCOMPARE(writer.end(1), 0);
        QVERIFY(fs::LockedRun(writer.path()).valid());
        QCOMPARE(fs::runHistory(state_).at(0).state, fs::RunSummary::State::Done);
    }

    // The history keeps its newest runs; a run cut short and never looked at is kept however old.
    void historyKeepsItsLength() {
        const std::size_t n = fs::kHistoryLength;
        const std::string cutShort = writePlans(state_, samplePlans());
        for (std::size_t i = 0; i < n + 3; ++i) {
            fs::JournalWriter writer;
            QCOMPARE(beginOne(writer, state_, "/pics", {1, 2}, false), 0);
            writer.add("a", "pics_a", {1, 3});
            QCOMPARE(writer.commit(), 0);
            QCOMPARE(writer.end(1), 0);
        }
        const std::vector<std::string> runs = fs::runJournals(state_);
        QCOMPARE(runs.size(), n + 1);
        QCOMPARE(runs.back(), cutShort);
    }

    void stateFolderThatIsAFile() {
        QVERIFY(testutil::makeFile(tmp_->path(), "state"));
        fs::JournalWriter writer;
        const int err = beginOne(writer, state_, "/pics", {1, 2}, false);
        QVERIFY(err != 0);
        writer.add("a", "b", {1, 3});
        QCOMPARE(writer.commit(), err);
        QCOMPARE(testutil::readFile(state_), std::string());
    }

    void setAside() {
        const std::string path = writePlans(state_, samplePlans());
        QVERIFY(writeBytes(path, "not a journal"));
        QCOMPARE(fs::readJournal(path).status, Status::Bad);
        QCOMPARE(fs::setAside(path), 0);
        QCOMPARE(fs::readJournal(path).status, Status::None);
        QCOMPARE(testutil::readFile(path + ".bad"), std::string("not a journal"));
        QVERIFY(fs::runJournals(state_).empty());
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
        const std::string path = writePlans(dir, samplePlans());
        QVERIFY(!path.empty());
        QCOMPARE(mode(dir), 0700u);
        QCOMPARE(mode(fs::runsDirectory(dir)), 0700u);
        QCOMPARE(mode(path), 0600u);
        QCOMPARE(fs::readJournal(path).status, Status::Ok);
    }

    void examine_data() {
        // What happened, in order: S the entry is a symbolic link, R renamed, L linked to the new
        // name, D deleted, O old name replaced by another file, N new name replaced by another
        // file, H new name made with data, E new name made empty; l the run recorded linking the
        // new name, e it recorded the empty file as its reservation.
        QTest::addColumn<std::string>("steps");
        QTest::addColumn<bool>("mayLeaveReservations");
        QTest::addColumn<EntryState>("state");
        QTest::addColumn<RenameMethod>("cutShortBy");
        QTest::newRow("not renamed yet")
            << std::string("") << false << EntryState::AtOldName << RenameMethod::Unknown;
        QTest::newRow("renamed") << std::string("R") << false << EntryState::AtNewName
                                 << RenameMethod::Unknown;
        QTest::newRow("linked by the run, old name not yet removed")
            << std::string("Ll") << false << EntryState::CutShort << RenameMethod::LinkThenUnlink;
        QTest::newRow("a hard link the user made")
            << std::string("L") << false << EntryState::AtOldName << RenameMethod::Unknown;
        QTest::newRow("deleted") << std::string("D") << false << EntryState::Missing
                                 << RenameMethod::Unknown;
        QTest::newRow("old name holds another file")
            << std::string("O") << false << EntryState::Missing << RenameMethod::Unknown;
        QTest::newRow("renamed, then the new name replaced")
            << std::string("RN") << false << EntryState::Missing << RenameMethod::Unknown;
        QTest::newRow("symbolic link renamed as itself")
            << std::string("SR") << false << EntryState::AtNewName << RenameMethod::Unknown;
        QTest::newRow("leftover reservation")
            << std::string("Ee") << true << EntryState::CutShort << RenameMethod::Reservation;
        QTest::newRow("an empty file the run did not make")
            << std::string("E") << true << EntryState::AtOldName << RenameMethod::Unknown;
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
        JournalPlan plan = ::plan(dir, *fs::fileIdAt(fd, "."), mayLeaveReservations,
                                  {{"first", "cats\xff_first", *fs::fileIdAt(fd, "first")},
                                   {oldName, newName, *fs::fileIdAt(fd, oldName)}});
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
                case 'l':
                    plan.linked.push_back(newName);
                    break;
                case 'e':
                    plan.reservations.push_back({newName, *fs::fileIdAt(fd, newName), 0});
                    break;
            }
        }
        ::close(fd);
        // Through the journal, as recovery will read it.
        const fs::JournalRead read = fs::readJournal(writePlans(state_, {plan}));
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
        const JournalPlan plan =
            ::plan(dir, *fs::fileIdAt(fd, "."), false, {{"a", "cats_a", *fs::fileIdAt(fd, "a")}});
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
        const JournalPlan plan = ::plan(dir, *fs::fileIdAt(fd, "."), false, {});
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
