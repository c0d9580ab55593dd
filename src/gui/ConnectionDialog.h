// The small window of "Invite" and "Join": our code with "Copy", a field for the partner's code,
// the STUN and TURN settings, and the "Connection" status. It lives on, hidden, while the
// connection it made carries the session.
#pragma once

#include <QDialog>
#include <memory>

#include "app/Connection.h"

class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;

namespace tandem {

class ConnectionDialog : public QDialog {
  Q_OBJECT
 public:
  // `invite`: we make the invitation; else we answer the partner's.
  ConnectionDialog(TFormCtl& form, bool invite, QWidget* parent);
  ~ConnectionDialog() override;

 private:
  void Start();
  void TakePartnersCode();
  void ShowStatus(const QString& text);

  TFormCtl& form_;
  bool invite_;
  std::unique_ptr<Connection> connection_;
  QLineEdit* stun_;
  QLineEdit* turn_;
  QLineEdit* turnUser_;
  QLineEdit* turnPassword_;
  QPlainTextEdit* ours_;
  QPushButton* copy_;
  QLineEdit* theirs_;
  QPushButton* use_;
  QLabel* status_;
};

}  // namespace tandem
