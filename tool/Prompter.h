// What the dialogs ask of the person at the screen: message boxes (error, information, a Yes/No
// question) and the folder and save-file pickers. The program uses QtPrompter; tests answer
// through their own Prompter and record what was shown.
#pragma once

#include <QMessageBox>
#include <QString>
#include <memory>
#include <optional>

class QCoreApplication;
class QWidget;

namespace zel {

class Prompter {
 public:
  virtual ~Prompter() = default;
  virtual void error(QWidget* parent, const QString& text) = 0;
  virtual void information(QWidget* parent, const QString& text) = 0;
  // True for Yes.
  virtual bool question(QWidget* parent, const QString& text) = 0;
  // The chosen folder, or nothing when the picker was cancelled.
  virtual std::optional<QString> pickFolder(QWidget* parent, const QString& title, const QString& start) = 0;
  // The chosen file name ("log" appended when it has no suffix), or nothing.
  virtual std::optional<QString> pickSaveFile(QWidget* parent, const QString& title, const QString& folder,
                                              const QString& name) = 0;
};

// Modal QMessageBox and QFileDialog. Error texts are echoed to stderr as well, for whoever started
// the program from a terminal.
class QtPrompter : public Prompter {
 public:
  void error(QWidget* parent, const QString& text) override;
  void information(QWidget* parent, const QString& text) override;
  bool question(QWidget* parent, const QString& text) override;
  std::optional<QString> pickFolder(QWidget* parent, const QString& title, const QString& start) override;
  std::optional<QString> pickSaveFile(QWidget* parent, const QString& title, const QString& folder,
                                      const QString& name) override;
};

// The boxes QtPrompter shows: the main dialog's title, the icon, the text and the buttons.
std::unique_ptr<QMessageBox> MakeMessageBox(QWidget* parent, QMessageBox::Icon icon, const QString& text);

// Qt's own Russian texts for the standard buttons ("Да", "Нет", "Отмена") and dialogs.
void LoadQtRussianTexts(QCoreApplication& app);

}  // namespace zel
