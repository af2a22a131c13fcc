#include "tool/Prompter.h"

#include <QApplication>
#include <QFileDialog>
#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>
#include <cstdio>

#include "tool/ToolTexts.h"

namespace zel {
namespace {

// The window title of a box: the main dialog's, as a box owned by it would show.
QString BoxTitle() { return QString::fromUtf8(texts::kConfigTitle); }

}  // namespace

std::unique_ptr<QMessageBox> MakeMessageBox(QWidget* parent, QMessageBox::Icon icon, const QString& text) {
  auto box = std::make_unique<QMessageBox>(icon, BoxTitle(), text, QMessageBox::NoButton, parent);
  if (icon == QMessageBox::Question) {
    box->setStandardButtons(QMessageBox::Yes | QMessageBox::No);
    box->setDefaultButton(QMessageBox::No);
  } else {
    box->setStandardButtons(QMessageBox::Ok);
  }
  return box;
}

void LoadQtRussianTexts(QCoreApplication& app) {
  static QTranslator qtTexts;
  if (qtTexts.load(QLocale(QLocale::Russian), "qtbase", "_", QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
    app.installTranslator(&qtTexts);
}

void QtPrompter::error(QWidget* parent, const QString& text) {
  std::fprintf(stderr, "zel-config: %s\n", text.trimmed().toUtf8().constData());
  std::fflush(stderr);
  MakeMessageBox(parent, QMessageBox::Critical, text)->exec();
}

void QtPrompter::information(QWidget* parent, const QString& text) {
  MakeMessageBox(parent, QMessageBox::Information, text)->exec();
}

bool QtPrompter::question(QWidget* parent, const QString& text) {
  return MakeMessageBox(parent, QMessageBox::Question, text)->exec() == QMessageBox::Yes;
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
