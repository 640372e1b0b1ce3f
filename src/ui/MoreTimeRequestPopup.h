#pragma once

#include <QDialog>

#include <cstdint>
#include <functional>
#include <optional>

class QComboBox;
class QLabel;

namespace tarvo::ui {

// The small modal dialog through which the child chooses how many minutes to
// ask the parent for: a list of 15, 30, 60 and 120 that also takes a typed
// number, "Send request" and "Cancel".
class MoreTimeRequestPopup : public QDialog {
    Q_OBJECT
  public:
    static constexpr std::int64_t kMinMinutes = 1;
    static constexpr std::int64_t kMaxMinutes = 1440;  // a whole day

    // Opens the dialog application-modal above `on` (the blocker's first
    // window, or none) and returns at once; `completion` gets the minutes when
    // the child sends a request; "Cancel" calls nothing. The dialog deletes
    // itself when it closes.
    static MoreTimeRequestPopup* present(QWidget* on,
                                         std::function<void(std::int64_t minutes)> completion);

    // A whole number of minutes from 1 to 1440, with an optional "+" and
    // blanks around it; none for anything else.
    static std::optional<std::int64_t> parseMinutes(const QString& text);

    explicit MoreTimeRequestPopup(QWidget* parent = nullptr);

    QComboBox* comboBox() const { return combo_; }
    QLabel* hintLabel() const { return hint_; }
    // The minutes of the last accepted request.
    std::int64_t minutes() const { return minutes_; }

  public slots:
    // "Send request": accepted only with a valid number; otherwise the dialog
    // stays open and says what it takes.
    void accept() override;

  private:
    QComboBox* combo_;
    QLabel* hint_;
    std::int64_t minutes_ = 0;
};

}  // namespace tarvo::ui
