#pragma once

// The main window on a temporary folder, shared by the window suites: folders with files, the
// window opened on one once its file list is read, controls found by objectName and clicked,
// and the report and question seam of ui/messages taken over so that no modal dialog blocks.
// A suite derives from it and calls beginTest() in init() and endTest() in cleanup().

#include <sys/stat.h>
#include <QAbstractButton>
#include <QApplication>
#include <QProgressDialog>
#include <QStringList>
#include <QTest>
#include <algorithm>
#include <cerrno>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "testutil.h"
#include "ui/mainwindow.h"
#include "ui/messages.h"
#include "widgets/drivelistbox.h"
#include "widgets/filelistbox.h"
#include "widgets/folderlistbox.h"
#include "widgets/fonts.h"
#include "widgets/worklistbox.h"

namespace testutil {

using Names = std::vector<std::string>;
using Rows = std::vector<int>;

class WindowFixture {
public:
    // How the asker answers: a button's index, or one of these.
    static constexpr int kDefault = -1;
    static constexpr int kEscape = -2;
    // Neither the default nor Esc: for the questions about hidden names, "rename them too".
    static constexpr int kOther = -3;

    WindowFixture() {
        widgets::registerFontSubstitutes();
        ui::setReporter([this](QWidget*, const QString&, const QString& text) {
            reports_ << text;
            if (onReport_) {
                onReport_();
            }
        });
        ui::setAsker([this](QWidget*, const QString& text, const QStringList& buttons,
                            int defaultButton, int escapeButton) {
            questions_ << text;
            switch (answer_) {
                case kDefault:
                    return defaultButton;
                case kEscape:
                    return escapeButton;
                case kOther:
                    return otherAnswer(buttons.size(), defaultButton, escapeButton);
                default:
                    return answer_;
            }
        });
    }
    ~WindowFixture() {
        window_.reset();
        ui::setReporter({});
        ui::setAsker({});
    }
    WindowFixture(const WindowFixture&) = delete;
    WindowFixture& operator=(const WindowFixture&) = delete;

    // A fresh folder of the test's own; no reports or questions yet; hidden names renamed too.
    void beginTest() {
        QVERIFY(tmp_.isValid());
        reports_.clear();
        questions_.clear();
        answer_ = kOther;
        base_ = tmp_.path() + "/" + std::to_string(++tests_);
        QCOMPARE(::mkdir(base_.c_str(), 0755), 0);
    }
    // Closes the window, should the test have left it open.
    void endTest() { window_.reset(); }

    // The temporary folder of the whole suite, and the test's own folder inside it.
    const std::string& root() const { return tmp_.path(); }
    const std::string& base() const { return base_; }

    // Makes the folder `relative` (and those on the way) below the test's folder, with `files`
    // in it, each holding "content of " and its name.
    std::string folder(const std::string& relative, const Names& files = {}) {
        std::string path = base_;
        for (std::size_t start = 0; start <= relative.size();) {
            const std::size_t end = std::min(relative.find('/', start), relative.size());
            path += "/" + relative.substr(start, end - start);
            QTest::qVerify(::mkdir(path.c_str(), 0755) == 0 || errno == EEXIST, "mkdir",
                           path.c_str(), __FILE__, __LINE__);
            start = end + 1;
        }
        for (const std::string& f : files) {
            QTest::qVerify(makeFile(path, f, "content of " + f), "makeFile", f.c_str(), __FILE__,
                           __LINE__);
        }
        return path;
    }

    // Opens the main window on `start`, shown, with its file list read.
    void openWindow(const std::string& start,
                    std::vector<widgets::DriveInfo> drives = {{"/", {}}}) {
        // The drives stay those given, whatever other tests mount meanwhile.
        window_ = std::make_unique<ui::MainWindow>(start, drives);
        drive1()->setDriveSource([drives] { return drives; });
        window_->show();
        QVERIFY(QTest::qWaitForWindowExposed(window_.get()));
        QVERIFY(waitListed());
    }
    ui::MainWindow* window() const { return window_.get(); }

    // Waits for File1's reading to end.
    bool waitListed() {
        return QTest::qWaitFor([this] { return !file1()->isReading(); }, 30000);
    }

    template <typename T>
    T* child(const char* name) const {
        return window_->findChild<T*>(QString::fromLatin1(name));
    }
    widgets::DriveListBox* drive1() const { return child<widgets::DriveListBox>("Drive1"); }
    widgets::FolderListBox* dir1() const { return child<widgets::FolderListBox>("Dir1"); }
    widgets::FileListBox* file1() const { return child<widgets::FileListBox>("File1"); }
    widgets::WorkListBox* list(const char* name) const { return child<widgets::WorkListBox>(name); }

    void click(const char* button) {
        auto* b = child<QAbstractButton>(button);
        QVERIFY2(b != nullptr, button);
        QTest::mouseClick(b, Qt::LeftButton);
    }

    // File1's names in its order, and in byte order as a folder's entries are compared.
    Names listed() const {
        Names names;
        for (std::int64_t i = 0; i < file1()->count(); ++i) {
            names.emplace_back(file1()->at(i));
        }
        return names;
    }
    Names sortedListed() const {
        Names names = listed();
        std::sort(names.begin(), names.end());
        return names;
    }

    Rows selectedRows() const {
        Rows rows;
        for (std::int64_t i = 0; i < file1()->count(); ++i) {
            if (file1()->isSelected(i)) {
                rows.push_back(static_cast<int>(i));
            }
        }
        return rows;
    }

    void clickFile(int row, Qt::KeyboardModifiers modifiers = {}) {
        widgets::FileListBox* view = file1();
        const QRect rect = view->visualRect(view->model()->index(row, 0));
        QVERIFY(rect.isValid());
        QTest::mouseClick(view->viewport(), Qt::LeftButton, modifiers, rect.center());
    }

    // Dir1's row of `path`, or -1.
    int dirRow(const std::string& path) const {
        for (int i = 0; i < dir1()->count(); ++i) {
            if (dir1()->at(i) == path) {
                return i;
            }
        }
        return -1;
    }

    // Opens a folder of Dir1 as the user does: a press on its row, then a double-click.
    void doubleClickFolder(const std::string& path) {
        const int row = dirRow(path);
        QVERIFY2(row >= 0, path.c_str());
        const QModelIndex index = dir1()->model()->index(row, 0);
        dir1()->scrollTo(index);
        const QPoint at = dir1()->visualRect(index).center();
        QTest::mouseClick(dir1()->viewport(), Qt::LeftButton, {}, at);
        QTest::mouseDClick(dir1()->viewport(), Qt::LeftButton, {}, at);
    }

    // Picks drive `index` in Drive1 with the arrow keys, as the user does.
    void pickDrive(int index) {
        widgets::DriveListBox* combo = drive1();
        combo->setFocus();
        const int steps = index - combo->currentIndex();
        for (int i = 0; i < std::abs(steps); ++i) {
            QTest::keyClick(combo, steps > 0 ? Qt::Key_Down : Qt::Key_Up);
        }
    }

    // The rename run's progress dialog while it is shown, else null.
    static QProgressDialog* progressDialog() {
        for (QWidget* w : QApplication::topLevelWidgets()) {
            if (auto* dialog = qobject_cast<QProgressDialog*>(w); dialog && dialog->isVisible()) {
                return dialog;
            }
        }
        return nullptr;
    }

protected:
    std::unique_ptr<ui::MainWindow> window_;
    // Every report's text and every question's text, in order.
    QStringList reports_;
    QStringList questions_;
    // The button the asker chooses; kOther unless the test says otherwise.
    int answer_ = kOther;
    // Called at each report, as it is taken.
    std::function<void()> onReport_;

private:
    TempFolder tmp_;
    std::string base_;
    int tests_ = 0;
};

}  // namespace testutil
