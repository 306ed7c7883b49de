#pragma once

#include <QDialog>
#include <QString>
#include <QStringList>
#include <vector>

class QPushButton;
class QTextEdit;

namespace ui {

// The box every report and question is shown in. Unlike a message box, its text wraps anywhere,
// not only at blanks, so a long file name or path is never cut off; the box is never wider than
// the screen, and a text too tall for it scrolls.
class MessageDialog : public QDialog {
    Q_OBJECT
public:
    enum class Kind { Error, Warning, Information, Question };

    // `buttons` are captions, left to right; exec() returns the index of the one chosen. Esc or
    // closing the box chooses `escapeButton`.
    MessageDialog(QWidget* parent, Kind kind, const QString& title, const QString& text,
                  const QStringList& buttons, int defaultButton, int escapeButton);

    QString text() const;
    QTextEdit* textView() const { return text_; }
    const std::vector<QPushButton*>& buttons() const { return buttons_; }

public slots:
    void reject() override;

private:
    void fitToScreen();

    QTextEdit* text_ = nullptr;
    std::vector<QPushButton*> buttons_;
    int escapeButton_ = 0;
};

}  // namespace ui
