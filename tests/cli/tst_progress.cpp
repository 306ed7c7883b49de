// The progress line of a long command: what it says in the room it has, and where it is drawn
// (a terminal, or nowhere: a pipe gets what it got before).

#include <fcntl.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <QTest>

#include <chrono>
#include <string>
#include <vector>

#include "cli/progress.h"
#include "mountutil.h"
#include "procutil.h"

namespace {

// The columns a terminal gives `text` (UTF-8): two for the wide scripts of East Asia.
int columns(const std::string& text) {
    int n = 0;
    for (const QChar c : QString::fromStdString(text)) {
        n += c.unicode() >= 0x2E80 && c.unicode() < 0xFF61 ? 2 : c.isLowSurrogate() ? 0 : 1;
    }
    return n;
}

// The lines drawn into `output`: each after a carriage return, before its erase to the end.
std::vector<std::string> drawnLines(const std::string& output) {
    std::vector<std::string> lines;
    for (std::size_t at = output.find('\r'); at != std::string::npos;
         at = output.find('\r', at + 1)) {
        const std::size_t end = output.find("\x1b[K", at);
        if (end != std::string::npos && end > at + 1) {
            lines.push_back(output.substr(at + 1, end - at - 1));
        }
    }
    return lines;
}

struct Output {
    int status = -1;
    std::string err;
    std::vector<int> widths;  // the terminal's width before each chunk read
};

// Runs kovra with `args`, its standard error on a terminal of `width` columns (a pseudo-terminal
// this test holds), made `narrower` columns once the line has been drawn; or on a pipe.
Output runOn(bool terminal, int width, int narrower, const std::vector<std::string>& args) {
    Output result;
    winsize size{};
    size.ws_col = static_cast<unsigned short>(width);
    size.ws_row = 24;
    int fds[2] = {-1, -1};
    if (terminal ? ::openpty(&fds[0], &fds[1], nullptr, nullptr, &size) != 0 : ::pipe(fds) != 0) {
        return result;
    }
    const int reader = fds[0];
    const int writer = fds[1];
    std::vector<char*> argv;
    std::vector<std::string> all = args;
    for (std::string& a : all) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::setsid();  // the terminal its own, so that a resize signals it
        if (terminal) {
            ::ioctl(writer, TIOCSCTTY, 0);
        }
        const int null = ::open("/dev/null", O_RDWR);
        ::dup2(null, 0);
        ::dup2(null, 1);
        ::dup2(writer, 2);
        ::close(reader);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    ::close(writer);
    bool resized = false;
    char buffer[4096];
    for (ssize_t n; (n = ::read(reader, buffer, sizeof buffer)) > 0;) {
        result.err.append(buffer, static_cast<std::size_t>(n));
        if (terminal && narrower > 0 && !resized && !drawnLines(result.err).empty()) {
            size.ws_col = static_cast<unsigned short>(narrower);
            ::ioctl(reader, TIOCSWINSZ, &size);
            resized = true;
        }
    }
    ::close(reader);  // a terminal ends in EIO once the program has gone
    result.status = procutil::wait(pid);
    return result;
}

}  // namespace

class TestProgress : public QObject {
    Q_OBJECT

private slots:
    // What the line says, in the columns it has: the counts first, then as much of the folder's
    // end as fits, names shown as the window shows them.
    void text_data() {
        QTest::addColumn<QString>("folder");
        QTest::addColumn<int>("width");
        QTest::addColumn<QStringList>("shows");
        QTest::addColumn<QStringList>("hides");
        QTest::newRow("all of it")
            << "/pics/cats" << 80 << QStringList{"30", "200", "/pics/cats", "1:05"}
            << QStringList{"…"};
        QTest::newRow("a long folder from its end")
            << "/mnt/share/pictures/2019/summer/holidays/by the sea" << 50
            << QStringList{"200", "by the sea", "…"} << QStringList{"/mnt/share"};
        QTest::newRow("wide names")
            << QString::fromUtf8("/写真/夏休み/海でとった写真") << 40
            << QStringList{"200", QString::fromUtf8("写真")} << QStringList{};
        QTest::newRow("no room for the folder")
            << "/pics/cats" << 25 << QStringList{"200"} << QStringList{"cats"};
        QTest::newRow("a narrow terminal") << "/pics/cats" << 8 << QStringList{} << QStringList{};
        QTest::newRow("a name with a line feed")
            << "/pics/a\nb" << 80 << QStringList{"a\\nb"} << QStringList{"\n"};
    }

    void text() {
        QFETCH(QString, folder);
        QFETCH(int, width);
        QFETCH(QStringList, shows);
        QFETCH(QStringList, hides);
        // 30 of 200 files at 2.6 files a second: 65 seconds left.
        const std::string line = cli::progressText(30, 200, 2.6, 65, folder.toStdString(), width);
        const QString shown = QString::fromStdString(line);
        QVERIFY2(columns(line) <= width, qPrintable(shown));
        for (const QString& part : shows) {
            QVERIFY2(shown.contains(part), qPrintable(shown + " lacks " + part));
        }
        for (const QString& part : hides) {
            QVERIFY2(!shown.contains(part), qPrintable(shown + " has " + part));
        }
    }

    // Where the line is drawn: on a terminal once the run has lasted a second, redrawn, and
    // cleared at the end; never on a pipe unless forced; never when turned off. The run is made
    // to last seconds by a drive that answers each call late.
    void where_data() {
        QTest::addColumn<bool>("terminal");
        QTest::addColumn<QString>("option");
        QTest::addColumn<bool>("drawn");
        QTest::newRow("a terminal") << true << QString() << true;
        QTest::newRow("a terminal, turned off") << true << "--no-progress" << false;
        QTest::newRow("a pipe") << false << QString() << false;
        QTest::newRow("a pipe, forced") << false << "--progress" << true;
    }

    void where() {
        QFETCH(bool, terminal);
        QFETCH(QString, option);
        QFETCH(bool, drawn);
        mountutil::SwitchFs drive("delay_us=5000");
        KOVRA_REQUIRE_MOUNT(drive);
        const std::string folder = drive.path() + "/cats";
        QVERIFY(::mkdir(folder.c_str(), 0755) == 0);
        constexpr int kFiles = 100;
        for (int i = 0; i < kFiles; ++i) {
            QFile file(QString::fromStdString(drive.backing() + "/cats/" + std::to_string(i)));
            QVERIFY(file.open(QIODevice::WriteOnly));
        }
        std::vector<std::string> args{KOVRA_PROGRAM, "rename"};
        if (!option.isEmpty()) {
            args.push_back(option.toStdString());
        }
        args.push_back(folder);
        const auto start = std::chrono::steady_clock::now();
        const Output out = runOn(terminal, 60, 40, args);
        const auto took = std::chrono::steady_clock::now() - start;
        QCOMPARE(out.status, 0);
        QVERIFY2(took > std::chrono::milliseconds(1500), "the run was too short to tell");
        const std::vector<std::string> lines = drawnLines(out.err);
        if (!drawn) {
            QVERIFY2(out.err.empty(), out.err.c_str());
            return;
        }
        QVERIFY2(!lines.empty(), out.err.c_str());
        QVERIFY2(lines.front().find(std::to_string(kFiles)) != std::string::npos,
                 lines.front().c_str());
        QVERIFY2(lines.front().find("/cats") != std::string::npos, lines.front().c_str());
        // Cleared at the end, nothing left on the terminal's line.
        QVERIFY2(out.err.size() >= 4 && out.err.compare(out.err.size() - 4, 4, "\r\x1b[K") == 0,
                 out.err.c_str());
        if (terminal) {
            // The width followed the terminal's, the last column left free.
            QVERIFY2(columns(lines.front()) < 60, lines.front().c_str());
            QVERIFY2(columns(lines.back()) < 40, lines.back().c_str());
        }
    }
};

QTEST_GUILESS_MAIN(TestProgress)
#include "tst_progress.moc"
