#include "tool/Prompter.h"

#include <cstdio>

#include <QApplication>
#include <QFileDialog>
#include <QMessageBox>

#include "tool/ToolTexts.h"

namespace zel {
namespace {

// The window title of a box: the main dialog's, as a box owned by it would show.
QString BoxTitle() { return QString::fromUtf8(texts::kConfigTitle); }

}  // namespace

void QtPrompter::error(QWidget* parent, const QString& text) {
  std::fprintf(stderr, "zel-config: %s\n", text.trimmed().toUtf8().constData());
  std::fflush(stderr);
  QMessageBox::critical(parent, BoxTitle(), text);
}

void QtPrompter::information(QWidget* parent, const QString& text) {
  QMessageBox::information(parent, BoxTitle(), text);
}

bool QtPrompter::question(QWidget* parent, const QString& text) {
  return QMessageBox::question(parent, BoxTitle(), text, QMessageBox::Yes | QMessageBox::No, QMessageBox::No) ==
         QMessageBox::Yes;
}

std::optional<QString> QtPrompter::pickFolder(QWidget* parent, const QString& title, const QString& start) {
  QString chosen = QFileDialog::getExistingDirectory(parent, title, start, QFileDialog::ShowDirsOnly);
  if (chosen.isEmpty()) return std::nullopt;
  return chosen;
}

std::optional<QString> QtPrompter::pickSaveFile(QWidget* parent, const QString& title, const QString& folder,
                                                const QString& name) {
  QFileDialog dialog(parent, title, folder, QString::fromUtf8(texts::kAllFiles));
  dialog.setAcceptMode(QFileDialog::AcceptSave);
  dialog.setFileMode(QFileDialog::AnyFile);
  dialog.setDefaultSuffix("log");
  dialog.setOption(QFileDialog::DontConfirmOverwrite);
  if (!name.isEmpty()) dialog.selectFile(name);
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return std::nullopt;
  return dialog.selectedFiles().first();
}

}  // namespace zel
