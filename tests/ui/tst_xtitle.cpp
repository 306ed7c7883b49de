// What a window manager shows as the windows' titles, read back from a real X server.

#include <QApplication>
#include <QProcess>
#include <QTest>

#include "ui/versionwindow.h"
#include "widgets/form.h"
#include "windowfixture.h"

class TestXTitle : public QObject, public testutil::WindowFixture {
    Q_OBJECT

    static QString titleOnServer(QWidget* window) {
        QProcess xdotool;
        xdotool.start(QStringLiteral("xdotool"),
                      {QStringLiteral("getwindowname"), QString::number(window->winId())});
        if (!xdotool.waitForFinished(10000) || xdotool.exitCode() != 0) {
            return QStringLiteral("<xdotool failed>");
        }
        return QString::fromUtf8(xdotool.readAllStandardOutput()).chopped(1);
    }

private slots:
    void initTestCase() {
        if (QGuiApplication::platformName() != u"xcb") {
            QSKIP("needs an X server (run under xvfb-run)");
        }
    }
    void init() { beginTest(); }
    void cleanup() { endTest(); }

    void titles_data() {
        QTest::addColumn<QString>("window");
        QTest::addColumn<bool>("blank");
        QTest::newRow("w_ver") << "w_ver" << true;
        QTest::newRow("kovra") << "kovra" << false;
    }
    void titles() {
        QFETCH(QString, window);
        QFETCH(bool, blank);
        widgets::FormHolder<ui::VersionWindow> version;
        QWidget* shown = nullptr;
        if (window == u"w_ver") {
            shown = version.show();
        } else {
            openWindow(base());
            shown = window_.get();
        }
        QVERIFY(QTest::qWaitForWindowExposed(shown));
        const QString title = titleOnServer(shown);
        QCOMPARE(title.trimmed().isEmpty(), blank);
        QVERIFY2(!title.contains(QStringLiteral("tst_")), qPrintable(title));
        version.unload();
    }
};

QTEST_MAIN(TestXTitle)
#include "tst_xtitle.moc"
