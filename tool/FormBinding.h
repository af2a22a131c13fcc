// The value exchange between a dialog's controls and the values it holds, as one whole form:
// put() shows every held value, take() reads every control back in binding order and stops at the
// first number field that does not hold a whole number of its type, naming that field.
#pragma once

#include <QString>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

class QCheckBox;
class QLineEdit;
class QWidget;

namespace zel {

class FormBinding {
 public:
  void text(QLineEdit* field, QString* value);
  void number(QLineEdit* field, int32_t* value);
  void number(QLineEdit* field, uint16_t* value);
  void check(QCheckBox* box, bool* value);

  void put() const;
  // Null when every field was taken; otherwise the number field that did not hold a whole number
  // (the fields before it were taken, it and those after it were not).
  QWidget* take() const;

 private:
  struct Entry {
    QWidget* control;
    std::function<void()> put;
    std::function<bool()> take;
  };
  std::vector<Entry> entries_;
};

// A whole number in [low, high], with an optional sign and surrounding blanks, or nothing.
std::optional<int64_t> ParseWholeNumber(const QString& text, int64_t low, int64_t high);

}  // namespace zel
