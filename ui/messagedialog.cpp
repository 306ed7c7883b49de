#include "ui/messagedialog.h"

#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QStyle>
#include <QTextDocument>
#include <QTextEdit>
#include <QVBoxLayout>
#include <cmath>

namespace ui {

namespace {

QStyle::StandardPixmap iconOf(MessageDialog::Kind kind) {
    switch (kind) {
        case MessageDialog::Kind::Error:
            return QStyle::SP_MessageBoxCritical;
        case MessageDialog::Kind::Warning:
            return QStyle::SP_MessageBoxWarning;
        case MessageDialog::Kind::Information:
            return QStyle::SP_MessageBoxInformation;
        case MessageDialog::Kind::Question:
            return QStyle::SP_MessageBoxQuestion;
    }
    return QStyle::SP_MessageBoxInformation;
}

QString iconName(MessageDialog::Kind kind) {
    switch (kind) {
        case MessageDialog::Kind::Error:
            return QStringLiteral("エラー");
        case MessageDialog::Kind::Warning:
            return QStringLiteral("注意");
        case MessageDialog::Kind::Information:
            return QStringLiteral("お知らせ");
        case MessageDialog::Kind::Question:
            return QStringLiteral("質問");
    }
    return {};
}

}  // namespace

MessageDialog::MessageDialog(QWidget* parent, Kind kind, const QString& title, const QString& text,
                             const QStringList& buttons, int defaultButton, int escapeButton)
    : QDialog(parent), escapeButton_(escapeButton) {
    setWindowTitle(title);
    setModal(true);

    auto* icon = new QLabel(this);
    const int iconSize = style()->pixelMetric(QStyle::PM_MessageBoxIconSize, nullptr, this);
    icon->setPixmap(style()->standardIcon(iconOf(kind), nullptr, this).pixmap(iconSize));
    icon->setAlignment(Qt::AlignTop);
    icon->setAccessibleName(iconName(kind));

    // A read-only text view rather than a label: a label wraps only at word boundaries.
    text_ = new QTextEdit(this);
    text_->setObjectName(QStringLiteral("text"));
    text_->setReadOnly(true);
    text_->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    text_->setFocusPolicy(Qt::ClickFocus);
    text_->setFrameShape(QFrame::NoFrame);
    text_->setLineWrapMode(QTextEdit::WidgetWidth);
    text_->setWordWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    text_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    QPalette palette = text_->palette();
    palette.setColor(QPalette::Base, palette.color(QPalette::Window));
    text_->setPalette(palette);
    text_->setPlainText(text);
    // A screen reader reads the box's text as its description when it opens.
    text_->setAccessibleName(QStringLiteral("メッセージ"));
    setAccessibleDescription(text);

    auto* top = new QHBoxLayout;
    top->addWidget(icon, 0, Qt::AlignTop);
    top->addWidget(text_, 1);

    auto* row = new QHBoxLayout;
    row->addStretch(1);
    for (const QString& caption : buttons) {
        auto* button = new QPushButton(caption, this);
        const int index = static_cast<int>(buttons_.size());
        connect(button, &QPushButton::clicked, this, [this, index] { done(index); });
        button->setAutoDefault(false);
        buttons_.push_back(button);
        row->addWidget(button);
    }
    row->addStretch(1);
    if (defaultButton >= 0 && defaultButton < static_cast<int>(buttons_.size())) {
        buttons_[static_cast<std::size_t>(defaultButton)]->setDefault(true);
        buttons_[static_cast<std::size_t>(defaultButton)]->setFocus();
    }

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->addLayout(row);
    layout->setSizeConstraint(QLayout::SetFixedSize);
    fitToScreen();
}

QString MessageDialog::text() const {
    return text_->toPlainText();
}

void MessageDialog::reject() {
    done(escapeButton_);
}

void MessageDialog::fitToScreen() {
    const QScreen* screen = parentWidget() != nullptr ? parentWidget()->screen() : nullptr;
    if (screen == nullptr) {
        screen = QGuiApplication::primaryScreen();
    }
    const QRect available = screen != nullptr ? screen->availableGeometry() : QRect(0, 0, 800, 600);

    // What the box needs around the text: the icon, the margins, the window frame.
    const int iconSize = style()->pixelMetric(QStyle::PM_MessageBoxIconSize, nullptr, this);
    const int around = iconSize + 4 * style()->pixelMetric(QStyle::PM_LayoutLeftMargin) + 48;
    const QFontMetrics metrics = text_->fontMetrics();
    QTextDocument* document = text_->document();
    const int margins = static_cast<int>(std::ceil(2 * document->documentMargin()));

    int widest = 0;
    for (const QString& line : text_->toPlainText().split(QLatin1Char('\n'))) {
        widest = std::max(widest, metrics.horizontalAdvance(line));
    }
    const int maxWidth =
        std::max(metrics.averageCharWidth() * 10,
                 std::min(metrics.averageCharWidth() * 80, available.width() - around));
    const int minWidth = std::min(maxWidth, metrics.averageCharWidth() * 40);
    const int width = std::clamp(widest + margins + 2, minWidth, maxWidth);

    // Measured on a copy: the view lays its own document out only once it is shown.
    QTextDocument probe;
    probe.setDefaultFont(text_->font());
    probe.setDefaultTextOption(document->defaultTextOption());
    probe.setDocumentMargin(document->documentMargin());
    probe.setPlainText(text_->toPlainText());
    probe.setTextWidth(width);
    const int height = static_cast<int>(std::ceil(probe.size().height()));
    const int maxHeight = available.height() * 2 / 3;
    if (height <= maxHeight) {
        text_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
        text_->setFixedSize(width, height);
    } else {
        // Too tall: the whole text stays reachable by scrolling.
        text_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
        text_->setFixedSize(width + text_->verticalScrollBar()->sizeHint().width(), maxHeight);
    }
}

}  // namespace ui
