#include "gui/ConnectionDialog.h"

#include <QClipboard>
#include <QFormLayout>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>

#include "gui/FormBinder.h"

namespace tandem {

namespace {

constexpr int kPollMs = 200;

QLineEdit* Field(const EditBox& box, const char* name) {
  auto* edit = new QLineEdit(QText(box.Text()));
  edit->setObjectName(name);
  return edit;
}

}  // namespace

ConnectionDialog::ConnectionDialog(TFormCtl& form, bool invite, QWidget* parent)
    : QDialog(parent), form_(form), invite_(invite) {
  setWindowTitle(invite ? "Invite" : "Join");
  auto* layout = new QVBoxLayout(this);
  auto* servers = new QFormLayout;
  stun_ = Field(form.EditStun, "EditStun");
  turn_ = Field(form.EditTurn, "EditTurn");
  turnUser_ = Field(form.EditTurnUser, "EditTurnUser");
  turnPassword_ = Field(form.EditTurnPassword, "EditTurnPassword");
  turnPassword_->setEchoMode(QLineEdit::Password);
  turn_->setToolTip("Only for routers no check opens: a relay such as coturn (see the README)");
  servers->addRow("STUN", stun_);
  servers->addRow("TURN", turn_);
  servers->addRow("TURN user", turnUser_);
  servers->addRow("TURN password", turnPassword_);
  layout->addLayout(servers);

  layout->addWidget(new QLabel(invite ? "Your invitation: send it to your partner"
                                      : "Your answer: send it back to your partner"));
  ours_ = new QPlainTextEdit;
  ours_->setObjectName("MemoCode");
  ours_->setReadOnly(true);
  ours_->setMaximumHeight(QFontMetrics(font()).lineSpacing() * 5);
  layout->addWidget(ours_);
  copy_ = new QPushButton("Copy");
  copy_->setEnabled(false);
  connect(copy_, &QPushButton::clicked,
          [this] { QGuiApplication::clipboard()->setText(ours_->toPlainText()); });

  layout->addWidget(new QLabel(invite ? "Your partner's answer" : "Your partner's invitation"));
  theirs_ = new QLineEdit;
  theirs_->setObjectName("EditPartnerCode");
  layout->addWidget(theirs_);
  auto* buttons = new QHBoxLayout;
  auto* start = new QPushButton(invite ? "Make invitation" : "Make answer");
  use_ = new QPushButton("Connect");
  use_->setEnabled(false);
  buttons->addWidget(copy_);
  buttons->addStretch();
  buttons->addWidget(use_);
  layout->addLayout(buttons);
  status_ = new QLabel("Connection: ---");
  status_->setObjectName("EditConnection");
  layout->addWidget(status_);
  if (invite) {
    buttons->insertWidget(0, start);
    connect(start, &QPushButton::clicked, [this, start] {
      start->setEnabled(false);
      Start();
    });
    connect(use_, &QPushButton::clicked, [this] { TakePartnersCode(); });
  } else {
    use_->setText("Make answer");
    use_->setEnabled(true);
    delete start;
    connect(use_, &QPushButton::clicked, [this] {
      Start();
      TakePartnersCode();
    });
  }
  auto* timer = new QTimer(this);
  connect(timer, &QTimer::timeout, [this] {
    if (!connection_) return;
    if (auto text = connection_->Poll()) ShowStatus(QText(*text));
  });
  timer->start(kPollMs);
}

ConnectionDialog::~ConnectionDialog() = default;

void ConnectionDialog::Start() {
  form_.EditStun.SetText(stun_->text().toStdString());
  form_.EditTurn.SetText(turn_->text().toStdString());
  form_.EditTurnUser.SetText(turnUser_->text().toStdString());
  form_.EditTurnPassword.SetText(turnPassword_->text().toStdString());
  IceSettings settings;
  if (auto stun = ParseServer(form_.EditStun.Text())) settings.stun = *stun;
  if (auto turn = ParseServer(form_.EditTurn.Text())) {
    settings.turn = *turn;
    settings.turnUser = form_.EditTurnUser.Text();
    settings.turnPassword = form_.EditTurnPassword.Text();
  }
  connection_ = std::make_unique<Connection>(form_, settings);
  if (!invite_) return;
  try {
    ours_->setPlainText(QText(connection_->Invite()));
    copy_->setEnabled(true);
    use_->setEnabled(true);
  } catch (const std::exception& e) {
    ShowStatus(QString("failed: ") + e.what());
  }
}

void ConnectionDialog::TakePartnersCode() {
  std::string error;
  const std::string code = theirs_->text().toStdString();
  if (invite_) {
    if (connection_->Answer(code, error)) {
      use_->setEnabled(false);
      return;
    }
  } else if (auto answer = connection_->Join(code, error)) {
    ours_->setPlainText(QText(*answer));
    copy_->setEnabled(true);
    use_->setEnabled(false);
    return;
  }
  ShowStatus(QText("failed: " + error));
}

void ConnectionDialog::ShowStatus(const QString& text) {
  status_->setText("Connection: " + text);
}

}  // namespace tandem
