#include "ui/MoreTimeRequestPopup.h"

#include <QComboBox>
#include <QDialogButtonBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "ui/UiStyle.h"

namespace tarvo::ui {

namespace {
constexpr int kComboWidth = 220;
constexpr int kComboHeight = 26;
}  // namespace

std::optional<std::int64_t> MoreTimeRequestPopup::parseMinutes(const QString& text) {
    QString s = text.trimmed();
    if (s.startsWith(QLatin1Char('+'))) s.remove(0, 1);
    // Digits only, and few enough that the value cannot overflow.
    if (s.isEmpty() || s.size() > 6) return std::nullopt;
    for (QChar c : s)
        if (c < QLatin1Char('0') || c > QLatin1Char('9')) return std::nullopt;
    const std::int64_t value = s.toLongLong();
    if (value < kMinMinutes || value > kMaxMinutes) return std::nullopt;
    return value;
}

MoreTimeRequestPopup::MoreTimeRequestPopup(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowCloseButtonHint | Qt::WindowStaysOnTopHint) {
    setObjectName(QStringLiteral("moreTimeRequest"));
    setWindowTitle(QStringLiteral("Tarvo"));
    setWindowModality(Qt::ApplicationModal);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(20, 20, 20, 16);
    layout->setSpacing(8);

    auto* message = new QLabel(QStringLiteral("Request more time"), this);
    message->setObjectName(QStringLiteral("messageText"));
    message->setFont(systemFont(13, QFont::Bold));
    auto* informative =
        new QLabel(QStringLiteral("How many extra minutes would you like to ask for?"), this);
    informative->setObjectName(QStringLiteral("informativeText"));
    informative->setFont(systemFont(11, QFont::Normal));
    informative->setWordWrap(true);

    combo_ = new QComboBox(this);
    combo_->setEditable(true);
    combo_->setInsertPolicy(QComboBox::NoInsert);
    combo_->addItems(
        {QStringLiteral("15"), QStringLiteral("30"), QStringLiteral("60"), QStringLiteral("120")});
    combo_->setCurrentIndex(-1);
    combo_->setEditText(QStringLiteral("30"));
    combo_->setFixedSize(kComboWidth, kComboHeight);

    hint_ = new QLabel(this);
    hint_->setObjectName(QStringLiteral("hint"));
    hint_->setFont(systemFont(11, QFont::Normal));
    QPalette palette = hint_->palette();
    palette.setColor(QPalette::WindowText, rgb(0.75, 0.25, 0.20));
    hint_->setPalette(palette);
    hint_->setWordWrap(true);
    hint_->hide();

    auto* buttons = new QDialogButtonBox(this);
    QPushButton* send =
        buttons->addButton(QStringLiteral("Send request"), QDialogButtonBox::AcceptRole);
    buttons->addButton(QStringLiteral("Cancel"), QDialogButtonBox::RejectRole);
    send->setDefault(true);
    send->setObjectName(QStringLiteral("sendRequest"));
    connect(buttons, &QDialogButtonBox::accepted, this, &MoreTimeRequestPopup::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &MoreTimeRequestPopup::reject);

    layout->addWidget(message);
    layout->addWidget(informative);
    layout->addSpacing(4);
    layout->addWidget(combo_);
    layout->addWidget(hint_);
    layout->addSpacing(8);
    layout->addWidget(buttons);
    setFixedWidth(340);
}

void MoreTimeRequestPopup::accept() {
    auto parsed = parseMinutes(combo_->currentText());
    if (!parsed) {
        hint_->setText(QStringLiteral("Enter a whole number of minutes from 1 to 1440."));
        hint_->show();
        combo_->setFocus();
        combo_->lineEdit()->selectAll();
        return;
    }
    minutes_ = *parsed;
    QDialog::accept();
}

MoreTimeRequestPopup* MoreTimeRequestPopup::present(QWidget* on,
                                                    std::function<void(std::int64_t)> completion) {
    // No nested event loop: the pin, a grant or a shutdown may run while the child chooses.
    // A child of `on`, it goes when the blocker takes its windows down, and calls nothing.
    auto* dialog = new MoreTimeRequestPopup(on);
    dialog->setAttribute(Qt::WA_DeleteOnClose, true);
    connect(dialog, &QDialog::finished, dialog,
            [dialog, completion = std::move(completion)](int result) {
                if (result == QDialog::Accepted && completion) completion(dialog->minutes());
            });
    dialog->show();
    return dialog;
}

}  // namespace tarvo::ui
