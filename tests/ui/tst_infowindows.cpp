#include <QApplication>
#include <QPointer>
#include <QPushButton>
#include <QTest>

#include "core/version.h"
#include "ui/explanationwindow.h"
#include "ui/icon.h"
#include "ui/versionwindow.h"
#include "widgets/form.h"
#include "widgets/frame.h"
#include "widgets/label.h"
#include "widgets/twips.h"

using widgets::FormHolder;

namespace {

const QString kOk = QString::fromUtf16(u"Ｏ　　Ｋ");
const QString kGothic = QString::fromUtf16(u"ＭＳ Ｐゴシック");
const QString kUiGothic = QString::fromUtf16(u"MS UI Gothic");
const QString kVersionPrefix = QString::fromUtf16(u"ﾊﾞｰｼﾞｮﾝ ");
// The package's copyright holder, as packaging/copyright names it.
const QString kHolder = QString::fromUtf16(u"著作権    Kovra Project");

// The explanation's ten lines, as the window must show them.
const char16_t* const kExplanationLines[] = {
    u"  フォルダ名付きのファイル名にリネーム",
    u"内容:",
    u"【こんな事している人居ませんか？《私だけでしょうか？　(^^;)　》】",
    u"    インターネット等で集めた画像データ等はフォルダ単位に類似したファイル名に",
    u"　なっている事が多いと思います。",
    u"　そこで現フォルダ名をファイル名に追加した名前にリネームするだけのツール",
    u"  です。",
    u"　適当な時期に一つのフォルダに移動させる時に、同一ファイル名ではないので",
    u"  いちいちリネームする必要は有りません。",
    u"　果たしてどれだけ利用価値が有るか？　それは疑問ですが・・・(^^;) ",
};

// Runs the deletes that closed windows asked for.
void flushDeletes() {
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

// Shown windows of one class that are still loaded.
int openWindows(const char* designName) {
    int n = 0;
    for (QWidget* w : QApplication::topLevelWidgets()) {
        auto* form = qobject_cast<widgets::Form*>(w);
        if (form != nullptr && !form->isUnloaded() && form->isVisible() &&
            w->objectName() == QLatin1String(designName)) {
            ++n;
        }
    }
    return n;
}

template <class T>
T* child(QWidget* window, const char* name) {
    T* widget = window->findChild<T*>(QLatin1String(name));
    if (widget == nullptr) {
        qFatal("no control %s", name);
    }
    return widget;
}

widgets::Label* label(QWidget* window, const char* name) {
    return child<widgets::Label>(window, name);
}

int px(int twips) {
    return widgets::twipsToPixels(twips, widgets::logicalDpi());
}

// Both windows as the main window keeps them; the version one can get its own version numbers.
struct Windows {
    FormHolder<ui::ExplanationWindow> setumei;
    FormHolder<ui::VersionWindow> ver;

    explicit Windows(core::VersionNumbers version = core::kProgramVersion)
        : ver([version] { return new ui::VersionWindow(version); }) {}

    widgets::Form* Show(const QString& which) {
        if (which == u"w_setumei") {
            return setumei.show();
        }
        return ver.show();
    }
    widgets::Form* Get(const QString& which) const {
        if (which == u"w_setumei") {
            return setumei.get();
        }
        return ver.get();
    }
};

}  // namespace

class TestInfoWindows : public QObject {
    Q_OBJECT

private slots:
    void cleanup() {
        flushDeletes();
        QCOMPARE(openWindows("w_setumei") + openWindows("w_ver"), 0);
    }

    void controls_data() {
        QTest::addColumn<QString>("window");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("parent");
        QTest::addColumn<QRect>("twips");
        QTest::addColumn<QString>("caption");  // null: set by onLoad, checked elsewhere
        QTest::addColumn<QString>("face");     // null: the window's default font
        QTest::addColumn<double>("points");
        QTest::addColumn<int>("weight");

        const QString none;
        const QString setumei = QStringLiteral("w_setumei");
        const QString ver = QStringLiteral("w_ver");
        auto row = [](const QString& window, const char* name, const QString& parent, QRect r,
                      const QString& caption, const QString& face, double points, int weight) {
            QTest::addRow("%s.%s", qPrintable(window), name)
                << window << QString::fromLatin1(name) << parent << r << caption << face << points
                << weight;
        };
        row(setumei, "Label1", setumei, {240, 360, 9015, 5415}, none, kUiGothic, 12, 400);
        row(setumei, "b_ok", setumei, {7920, 6000, 1095, 375}, kOk, none, 0, 0);

        const QString frame = QStringLiteral("Frame1");
        row(ver, "Frame1", ver, {120, 120, 7080, 4050}, none, none, 0, 0);
        row(ver, "lblLicenseTo", frame, {120, 240, 6855, 255}, QString(""), none, 0, 0);
        row(ver, "lblCopyright", frame, {4440, 3120, 2415, 255}, none, none, 0, 0);
        row(ver, "lblVersion", frame, {4410, 2700, 2445, 285}, none, kGothic, 12, 700);
        row(ver, "lblPlatform", frame, {6735, 2340, 120, 315}, QString(""), kGothic, 15.75, 700);
        row(ver, "lblCompanyProduct", frame, {2355, 585, 3570, 480},
            QString::fromUtf16(ui::VersionWindow::kCreditLine), kGothic, 18, 700);
        row(ver, "lblProductName", frame, {2520, 1140, 1845, 645}, QStringLiteral("Kovra"), kGothic,
            32.25, 700);
        row(ver, "b_end", ver, {6120, 4320, 1095, 495}, kOk, none, 0, 0);
        row(ver, "Label1", ver, {360, 4440, 4695, 375}, none, kGothic, 12, 400);
        row(ver, "imgLogo", frame, {480, 1320, 1215, 1185}, none, none, 0, 0);
    }

    void controls() {
        QFETCH(QString, window);
        QFETCH(QString, name);
        QFETCH(QString, parent);
        QFETCH(QRect, twips);
        QFETCH(QString, caption);
        QFETCH(QString, face);
        QFETCH(double, points);
        QFETCH(int, weight);

        Windows windows;
        widgets::Form* form = windows.Show(window);
        auto* widget = child<QWidget>(form, qPrintable(name));
        QCOMPARE(widget->parentWidget()->objectName(), parent);
        QCOMPARE(widget->geometry(),
                 QRect(px(twips.x()), px(twips.y()), px(twips.width()), px(twips.height())));
        QVERIFY(widget->isVisible());
        if (!caption.isNull()) {
            if (auto* button = qobject_cast<QPushButton*>(widget)) {
                QCOMPARE(button->text(), caption);
            } else {
                QCOMPARE(label(form, qPrintable(name))->caption(), caption);
            }
        }
        if (face.isNull()) {
            QVERIFY(!widget->testAttribute(Qt::WA_SetFont));
            QCOMPARE(widget->font(), form->font());
        } else {
            const QFont font = widget->font();
            QCOMPARE(font.family(), face);
            QCOMPARE(font.pointSizeF(), points);
            QCOMPARE(int(font.weight()), weight);
            QVERIFY(!font.italic() && !font.underline() && !font.strikeOut());
        }
        form->unload();
    }

    void frames_data() {
        QTest::addColumn<QString>("window");
        QTest::addColumn<QString>("title");
        QTest::addColumn<QSize>("client");
        QTest::addColumn<QStringList>("tabOrder");
        QTest::addColumn<QString>("focusable");
        QTest::newRow("w_setumei") << "w_setumei" << QString::fromUtf16(u"説明")
                                   << QSize(9615, 6495) << QStringList{"Label1", "b_ok"} << "b_ok";
        QTest::newRow("w_ver") << "w_ver" << QString() << QSize(7395, 5010)
                               << QStringList{"Frame1",         "lblLicenseTo", "lblCopyright",
                                              "lblVersion",     "lblPlatform",  "lblCompanyProduct",
                                              "lblProductName", "b_end",        "Label1",
                                              "imgLogo"}
                               << "b_end";
    }

    // Title, client size, tab order, and the one control that takes the focus.
    void frames() {
        QFETCH(QString, window);
        QFETCH(QString, title);
        QFETCH(QSize, client);
        QFETCH(QStringList, tabOrder);
        QFETCH(QString, focusable);

        Windows windows;
        widgets::Form* form = windows.Show(window);
        QCOMPARE(form->objectName(), window);
        QCOMPARE(form->windowTitle(), title);
        QCOMPARE(form->size(), QSize(px(client.width()), px(client.height())));
        QVERIFY(form->parentWidget() == nullptr);
        QVERIFY(!form->isModal());

        QStringList chain;
        for (QWidget* w = form->nextInFocusChain(); w != form; w = w->nextInFocusChain()) {
            if (tabOrder.contains(w->objectName())) {
                chain << w->objectName();
            }
        }
        QCOMPARE(chain, tabOrder);

        QStringList canFocus;
        for (QWidget* w : form->findChildren<QWidget*>()) {
            if (w->focusPolicy() != Qt::NoFocus) {
                canFocus << w->objectName();
            }
        }
        QCOMPARE(canFocus, QStringList{focusable});
        form->unload();
    }

    void explanationText() {
        Windows windows;
        widgets::Label* text = label(windows.setumei.show(), "Label1");
        const QString caption = text->caption();

        QCOMPARE(caption.size(), 262);
        QCOMPARE(caption.count(u' '), 11);
        QCOMPARE(caption.count(QChar(0x3000)), 7);
        QCOMPARE(caption.count(u'\r'), 14);
        QCOMPARE(caption.count(u'\n'), 0);
        QVERIFY(caption.endsWith(u'\r'));

        // Ten lines, an empty one after the third, fifth, seventh and ninth.
        QStringList expected;
        int n = 0;
        for (const char16_t* line : kExplanationLines) {
            expected << QString::fromUtf16(line);
            ++n;
            if (n == 3 || n == 5 || n == 7 || n == 9) {
                expected << QString();
            }
        }
        expected << QString();  // after the closing carriage return
        QCOMPARE(caption.split(u'\r'), expected);

        // Shown as plain text, each carriage return a line break, blanks kept.
        QCOMPARE(text->textFormat(), Qt::PlainText);
        QCOMPARE(text->text().split(u'\n'), expected);
        QVERIFY(!text->wordWrap());
        windows.setumei.unload();
    }

    // The focused button takes Enter, as it takes Space.
    void enterPressesTheFocusedButton_data() {
        QTest::addColumn<QString>("window");
        QTest::addColumn<QString>("button");
        QTest::newRow("w_setumei") << "w_setumei"
                                   << "b_ok";
        QTest::newRow("w_ver") << "w_ver"
                               << "b_end";
    }
    void enterPressesTheFocusedButton() {
        QFETCH(QString, window);
        QFETCH(QString, button);
        Windows windows;
        QPointer<widgets::Form> form = windows.Show(window);
        auto* ok = child<QPushButton>(form, qPrintable(button));
        ok->setFocus();
        QTest::keyClick(ok, Qt::Key_Return);
        // Closing deletes the window later: it may be gone by the time we look.
        QTRY_VERIFY(form.isNull() || !form->isVisible());
        QCOMPARE(windows.Get(window), nullptr);
        flushDeletes();
    }

    // Closing with its button and opening again composes the same text, not a doubled one.
    void explanationAfterReopen() {
        Windows windows;
        widgets::Form* form = windows.setumei.show();
        const QString first = label(form, "Label1")->caption();
        for (int i = 0; i < 3; ++i) {
            QTest::mouseClick(child<QPushButton>(form, "b_ok"), Qt::LeftButton);
            QVERIFY(!form->isVisible());
            QCOMPARE(windows.setumei.get(), nullptr);
            flushDeletes();
            form = windows.setumei.show();
            QCOMPARE(label(form, "Label1")->caption(), first);
        }
        QCOMPARE(first.size(), 262);
        form->unload();
    }

    // Its button is neither default nor cancel: Esc never presses it, and Enter only when it has
    // the focus, as Space does. A press by key clicks a moment later: each row waits for it.
    void explanationKeys_data() {
        QTest::addColumn<int>("key");
        QTest::addColumn<bool>("focused");  // the button has the focus
        QTest::addColumn<bool>("closes");
        QTest::newRow("Return, focused") << int(Qt::Key_Return) << true << true;
        QTest::newRow("Enter, focused") << int(Qt::Key_Enter) << true << true;
        QTest::newRow("Space, focused") << int(Qt::Key_Space) << true << true;
        QTest::newRow("Escape, focused") << int(Qt::Key_Escape) << true << false;
        QTest::newRow("A, focused") << int(Qt::Key_A) << true << false;
        QTest::newRow("Return to the window") << int(Qt::Key_Return) << false << false;
        QTest::newRow("Escape to the window") << int(Qt::Key_Escape) << false << false;
    }

    void explanationKeys() {
        QFETCH(int, key);
        QFETCH(bool, focused);
        QFETCH(bool, closes);
        Windows windows;
        QPointer<widgets::Form> form = windows.setumei.show();
        auto* ok = child<QPushButton>(form, "b_ok");
        QVERIFY(!ok->isDefault() && !ok->autoDefault());
        if (focused) {
            ok->setFocus();
        } else {
            ok->clearFocus();
        }
        QTest::keyClick(focused ? static_cast<QWidget*>(ok) : form.data(), Qt::Key(key));
        // A button pressed by a key stays down until its delayed click.
        QTRY_VERIFY(form.isNull() || !ok->isDown());
        QCOMPARE(windows.setumei.get() == nullptr, closes);
        QCOMPARE(!form.isNull() && form->isVisible(), !closes);
        windows.setumei.unload();
        flushDeletes();
    }

    void versionLabel_data() {
        QTest::addColumn<int>("major");
        QTest::addColumn<int>("minor");
        QTest::addColumn<int>("revision");
        QTest::addColumn<QString>("shown");
        QTest::newRow("1.0.0") << 1 << 0 << 0 << kVersionPrefix + "1.0.0";
        QTest::newRow("2.10.123") << 2 << 10 << 123 << kVersionPrefix + "2.10.123";
    }

    void versionLabel() {
        QFETCH(int, major);
        QFETCH(int, minor);
        QFETCH(int, revision);
        QFETCH(QString, shown);
        Windows windows({major, minor, revision});
        widgets::Form* form = windows.ver.show();
        QCOMPARE(label(form, "lblVersion")->caption(), shown);
        QCOMPARE(label(form, "lblVersion")->text(), shown);
        form->unload();
    }

    // The program's own version is the project version the build was made with.
    void programVersion() {
        FormHolder<ui::VersionWindow> ver;
        QCOMPARE(label(ver.show(), "lblVersion")->text(),
                 kVersionPrefix + QString::fromLatin1(KOVRA_PROJECT_VERSION));
        ver.unload();
    }

    void versionCaptions() {
        Windows windows;
        widgets::Form* form = windows.ver.show();
        // What a user reads, written out here rather than put together as the window does: the
        // holder and contact of the package's copyright file.
        QCOMPARE(label(form, "lblCopyright")->caption(), kHolder);
        QCOMPARE(label(form, "Label1")->text(),
                 QString::fromUtf16(u"  　Ｅ＿ｍａｉｌアドレス　　kovra@example.com    "));
        QCOMPARE(label(form, "lblProductName")->caption(), QStringLiteral("Kovra"));
        form->unload();
    }

    // Each load starts again from the design caption "著作権".
    void copyrightAfterReopen() {
        Windows windows;
        for (int i = 0; i < 3; ++i) {
            widgets::Form* form = windows.ver.show();
            QCOMPARE(label(form, "lblCopyright")->caption(), kHolder);
            QTest::mouseClick(child<QPushButton>(form, "b_end"), Qt::LeftButton);
            QCOMPARE(windows.ver.get(), nullptr);
            if (i == 1) {
                flushDeletes();
            }
        }
    }

    void windowKinds_data() {
        QTest::addColumn<QString>("window");
        QTest::addColumn<QString>("closeButton");
        QTest::addColumn<QString>("stateLabel");  // a label onLoad sets
        QTest::newRow("w_setumei") << "w_setumei"
                                   << "b_ok"
                                   << "Label1";
        QTest::newRow("w_ver") << "w_ver"
                               << "b_end"
                               << "lblCopyright";
    }

    // Showing it while it is open brings back the one window, without loading it again.
    void showTwiceGivesOneWindow_data() { windowKinds_data(); }
    void showTwiceGivesOneWindow() {
        QFETCH(QString, window);
        QFETCH(QString, stateLabel);
        Windows windows;
        widgets::Form* first = windows.Show(window);
        label(first, qPrintable(stateLabel))->setCaption(QStringLiteral("touched"));
        first->showMinimized();
        if (QGuiApplication::platformName() == u"offscreen") {
            QTest::ignoreMessage(QtWarningMsg, "This plugin does not support raise()");
        }
        widgets::Form* second = windows.Show(window);
        QCOMPARE(second, first);
        QVERIFY(second->isVisible());
        QVERIFY(!second->isMinimized());
        QCOMPARE(label(second, qPrintable(stateLabel))->caption(), QStringLiteral("touched"));
        QCOMPARE(openWindows(qPrintable(window)), 1);
        second->unload();
    }

    // After it closed itself, a show loads a new window with its controls in their design
    // state, whether or not the old one is gone yet.
    void reopenLoadsAfresh_data() {
        QTest::addColumn<QString>("window");
        QTest::addColumn<QString>("closeButton");
        QTest::addColumn<QString>("stateLabel");
        QTest::addColumn<bool>("flush");  // whether the old window is deleted before the show
        for (bool flush : {true, false}) {
            const char* when = flush ? "old one deleted" : "old one not yet deleted";
            QTest::addRow("w_setumei, %s", when) << "w_setumei"
                                                 << "b_ok"
                                                 << "Label1" << flush;
            QTest::addRow("w_ver, %s", when) << "w_ver"
                                             << "b_end"
                                             << "lblCopyright" << flush;
        }
    }
    void reopenLoadsAfresh() {
        QFETCH(QString, window);
        QFETCH(QString, closeButton);
        QFETCH(QString, stateLabel);
        QFETCH(bool, flush);
        Windows windows;
        widgets::Form* first = windows.Show(window);
        const QString loaded = label(first, qPrintable(stateLabel))->caption();
        label(first, qPrintable(stateLabel))->setCaption(QStringLiteral("touched"));
        QPointer<widgets::Form> old(first);

        QTest::mouseClick(child<QPushButton>(first, qPrintable(closeButton)), Qt::LeftButton);
        QVERIFY(!first->isVisible());
        QCOMPARE(windows.Get(window), nullptr);
        QCOMPARE(openWindows(qPrintable(window)), 0);
        if (flush) {
            flushDeletes();
            QVERIFY(old.isNull());  // unloaded means gone, controls and all
        }

        widgets::Form* second = windows.Show(window);
        QVERIFY(second != old.data());
        QVERIFY(second->isVisible());
        QCOMPARE(label(second, qPrintable(stateLabel))->caption(), loaded);
        QCOMPARE(openWindows(qPrintable(window)), 1);
        second->unload();
        flushDeletes();
        QVERIFY(old.isNull());
    }

    void versionKeys_data() {
        QTest::addColumn<int>("key");
        QTest::addColumn<int>("modifiers");
        QTest::addColumn<bool>("closes");
        const int none = Qt::NoModifier;
        QTest::newRow("Return") << int(Qt::Key_Return) << none << true;
        QTest::newRow("Enter") << int(Qt::Key_Enter) << none << true;
        QTest::newRow("Escape") << int(Qt::Key_Escape) << none << true;
        QTest::newRow("Space") << int(Qt::Key_Space) << none << true;
        QTest::newRow("letter") << int(Qt::Key_Q) << none << true;
        QTest::newRow("Shift+letter") << int(Qt::Key_Q) << int(Qt::ShiftModifier) << true;
        QTest::newRow("digit") << int(Qt::Key_7) << none << true;
        QTest::newRow("Shift") << int(Qt::Key_Shift) << none << false;
        QTest::newRow("Control") << int(Qt::Key_Control) << none << false;
        QTest::newRow("Alt") << int(Qt::Key_Alt) << none << false;
        QTest::newRow("Left") << int(Qt::Key_Left) << none << false;
        QTest::newRow("Down") << int(Qt::Key_Down) << none << false;
        QTest::newRow("F1") << int(Qt::Key_F1) << none << false;
        QTest::newRow("F12") << int(Qt::Key_F12) << none << false;
        QTest::newRow("Delete") << int(Qt::Key_Delete) << none << false;
    }

    // Whichever control has the key, the window sees it first.
    void versionKeys() {
        QFETCH(int, key);
        QFETCH(int, modifiers);
        QFETCH(bool, closes);
        const char* targets[] = {"b_end", "w_ver", "Frame1", "lblVersion"};
        for (const char* target : targets) {
            Windows windows;
            widgets::Form* form = windows.ver.show();
            auto* ok = child<QPushButton>(form, "b_end");
            ok->setFocus();
            QWidget* receiver = qstrcmp(target, "w_ver") == 0 ? form : child<QWidget>(form, target);
            int clicks = 0;
            connect(ok, &QPushButton::clicked, [&clicks] { ++clicks; });

            QTest::keyClick(receiver, Qt::Key(key), Qt::KeyboardModifiers(modifiers));
            QVERIFY2((windows.ver.get() == nullptr) == closes, target);
            QVERIFY2(form->isVisible() == !closes, target);
            // The key closed the window; it does not also press the button.
            QCOMPARE(clicks, 0);
            windows.ver.unload();
            flushDeletes();
        }
    }

    void versionClicks_data() {
        QTest::addColumn<QString>("target");
        QTest::addColumn<QPoint>("twips");  // from the target's corner; (-1, -1): its centre
        QTest::addColumn<bool>("closes");
        const QPoint centre(-1, -1);
        QTest::newRow("frame, corner") << "Frame1" << QPoint(60, 60) << true;
        QTest::newRow("frame, middle") << "Frame1" << QPoint(3540, 2025) << true;
        QTest::newRow("frame, by the logo") << "Frame1" << QPoint(420, 1900) << true;
        QTest::newRow("lblProductName") << "lblProductName" << centre << false;
        QTest::newRow("lblCompanyProduct") << "lblCompanyProduct" << centre << false;
        QTest::newRow("lblVersion") << "lblVersion" << centre << false;
        QTest::newRow("lblCopyright") << "lblCopyright" << centre << false;
        QTest::newRow("lblLicenseTo, empty") << "lblLicenseTo" << centre << false;
        QTest::newRow("lblPlatform, empty") << "lblPlatform" << centre << false;
        QTest::newRow("imgLogo") << "imgLogo" << centre << false;
        QTest::newRow("Label1") << "Label1" << centre << false;
        QTest::newRow("window, below the frame") << "w_ver" << QPoint(3000, 4260) << false;
        QTest::newRow("window, corner") << "w_ver" << QPoint(30, 30) << false;
        QTest::newRow("b_end") << "b_end" << centre << true;
    }

    void versionClicks() {
        QFETCH(QString, target);
        QFETCH(QPoint, twips);
        QFETCH(bool, closes);
        Windows windows;
        widgets::Form* form = windows.ver.show();
        QWidget* receiver = target == u"w_ver" ? form : child<QWidget>(form, qPrintable(target));
        const QPoint at =
            twips.x() < 0 ? receiver->rect().center() : QPoint(px(twips.x()), px(twips.y()));
        if (twips.x() >= 0) {
            // The point must be on the target's own surface, not on one of its controls.
            QCOMPARE(receiver->childAt(at), nullptr);
        }
        QTest::mouseClick(receiver, Qt::LeftButton, Qt::NoModifier, at);
        QCOMPARE(windows.ver.get() == nullptr, closes);
        QCOMPARE(form->isVisible(), !closes);
        windows.ver.unload();
    }

    // A press on a label that is released on the frame is no click on the frame.
    void versionDragOffLabel() {
        Windows windows;
        widgets::Form* form = windows.ver.show();
        auto* frame = child<widgets::Frame>(form, "Frame1");
        auto* name = label(form, "lblProductName");
        QTest::mousePress(name, Qt::LeftButton, Qt::NoModifier, name->rect().center());
        QTest::mouseRelease(frame, Qt::LeftButton, Qt::NoModifier, QPoint(px(60), px(60)));
        QVERIFY(windows.ver.get() != nullptr);
        form->unload();
    }

    void versionLabelsStayEmpty() {
        Windows windows;
        widgets::Form* form = windows.ver.show();
        QCOMPARE(label(form, "lblLicenseTo")->text(), QString());
        QCOMPARE(label(form, "lblPlatform")->text(), QString());
        form->unload();
    }

    // One 32 x 32 picture with a transparent part, on the windows and, stretched, as the logo.
    void icon() {
        const QPixmap icon = ui::programPixmap();
        QCOMPARE(icon.size(), QSize(32, 32));
        const QImage image = icon.toImage();
        QVERIFY(image.hasAlphaChannel());
        QCOMPARE(image.pixelColor(0, 0).alpha(), 0);
        QCOMPARE(image.pixelColor(16, 16).alpha(), 255);

        Windows windows;
        for (const char* window : {"w_setumei", "w_ver"}) {
            widgets::Form* form = windows.Show(QLatin1String(window));
            QVERIFY(!form->windowIcon().isNull());
            QCOMPARE(form->windowIcon().pixmap(32, 32).toImage(), image);
        }
        auto* logo = child<widgets::Image>(windows.ver.get(), "imgLogo");
        QVERIFY(logo->hasScaledContents());
        QCOMPARE(logo->pixmap().toImage(), image);
        QCOMPARE(logo->size(), QSize(px(1215), px(1185)));
        windows.setumei.unload();
        windows.ver.unload();
    }

    // Closing an information window leaves the other windows open and the program running.
    void closingKeepsOthers() {
        QWidget main;
        main.show();
        Windows windows;
        windows.setumei.show();
        windows.ver.show();
        bool quit = false;
        QMetaObject::Connection c =
            connect(qApp, &QCoreApplication::aboutToQuit, [&quit] { quit = true; });
        QTest::mouseClick(child<QPushButton>(windows.setumei.get(), "b_ok"), Qt::LeftButton);
        QTest::keyClick(windows.ver.get(), Qt::Key_Escape);
        flushDeletes();
        QCoreApplication::processEvents();
        QVERIFY(main.isVisible());
        QVERIFY(!quit);
        QCOMPARE(openWindows("w_setumei") + openWindows("w_ver"), 0);
        disconnect(c);
    }

    // The holder deletes a window still open when it goes, as at program end.
    void holderClosesItsWindow() {
        QPointer<widgets::Form> form;
        {
            Windows windows;
            form = windows.ver.show();
            QVERIFY(!form.isNull());
        }
        QVERIFY(form.isNull());
    }
};

QTEST_MAIN(TestInfoWindows)
#include "tst_infowindows.moc"
