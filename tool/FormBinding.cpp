#include "tool/FormBinding.h"

#include <QCheckBox>
#include <QLineEdit>
#include <limits>

namespace zel {

std::optional<int64_t> ParseWholeNumber(const QString& text, int64_t low, int64_t high) {
  bool ok = false;
  qlonglong value = text.trimmed().toLongLong(&ok, 10);
  if (!ok || value < low || value > high) return std::nullopt;
  return value;
}

void FormBinding::text(QLineEdit* field, QString* value) {
  entries_.push_back({field, [=] { field->setText(*value); },
                      [=] {
                        *value = field->text();
                        return true;
                      }});
}

void FormBinding::number(QLineEdit* field, int32_t* value) {
  entries_.push_back({field, [=] { field->setText(QString::number(*value)); },
                      [=] {
                        auto n = ParseWholeNumber(field->text(), std::numeric_limits<int32_t>::min(),
                                                  std::numeric_limits<int32_t>::max());
                        if (n) *value = int32_t(*n);
                        return n.has_value();
                      }});
}

void FormBinding::number(QLineEdit* field, uint16_t* value) {
  entries_.push_back({field, [=] { field->setText(QString::number(*value)); },
                      [=] {
                        auto n = ParseWholeNumber(field->text(), 0, std::numeric_limits<uint16_t>::max());
                        if (n) *value = uint16_t(*n);
                        return n.has_value();
                      }});
}

void FormBinding::check(QCheckBox* box, bool* value) {
  entries_.push_back({box, [=] { box->setChecked(*value); },
                      [=] {
                        *value = box->isChecked();
                        return true;
                      }});
}

void FormBinding::put() const {
  for (const auto& e : entries_) e.put();
}

QWidget* FormBinding::take() const {
  for (const auto& e : entries_)
    if (!e.take()) return e.control;
  return nullptr;
}

}  // namespace zel
