#include "gui/RtpGroup.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QFontMetrics>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <memory>
#include <utility>
#include <vector>

#include "gui/ConnectionDialog.h"
#include "gui/FormBinder.h"

namespace tandem {

RtpGroup::RtpGroup(FormBinder& binder) : QGroupBox("RTP") {
  setObjectName("GroupBoxRTP");
  TFormCtl& form = binder.Form();
  auto* grid = TightGrid(this);

  auto* memo = binder.MemoView(form.MemoIpAddr, "MemoIpAddr", 3);
  memo->setLineWrapMode(QPlainTextEdit::NoWrap);
  memo->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
  grid->addWidget(memo, 0, 0, 1, 6);

  auto* ip = binder.Setting(form.EditDestIp, "EditDestIp", 15);
  auto* listen = binder.Setting(form.EditPortLocal, "EditPortLocal", 6);
  auto* send = binder.Setting(form.EditPortDistant, "EditPortDistant", 6);
  grid->addWidget(Label("IP Dest", ip), 1, 0);
  // Beside the address: the sessions announced on this network; choosing one fills the address,
  // the port and the protocol.
  auto* nearby = new QComboBox;
  nearby->setObjectName("ComboNearby");
  nearby->setToolTip("Sessions announced on this network (DNS-SD)");
  nearby->setSizeAdjustPolicy(QComboBox::AdjustToContents);
  auto* dest = new QHBoxLayout;
  dest->addWidget(ip, 1);
  dest->addWidget(nearby, 1);
  grid->addLayout(dest, 1, 1);
  auto listed = std::make_shared<std::vector<NearbyService>>();
  connect(nearby, &QComboBox::activated, this, [&binder, &form, listed](int index) {
    if (index < 1 || index > static_cast<int>(listed->size())) return;
    binder.RunCommand([&form, &listed, index] { form.ChooseNearby((*listed)[index - 1]); });
  });
  binder.OnRefresh([&form, nearby, listed, seen = UINT64_MAX, status = UINT64_MAX]() mutable {
    if (form.NearbyVersion() == seen && form.EditNearby.Version() == status) return;
    seen = form.NearbyVersion();
    status = form.EditNearby.Version();
    const QString chosen = nearby->currentIndex() > 0 ? nearby->currentText() : QString();
    *listed = form.Nearby();
    const std::string why = form.EditNearby.Text();
    QStringList items;
    if (!listed->empty()) {
      items << QString("Nearby (%1)").arg(listed->size());
    } else {
      items << (why.rfind("unavailable", 0) == 0 ? QString("Nearby: unavailable")
                                                 : QString("Nearby: none"));
    }
    for (const NearbyService& s : *listed) items << QText(NearbyLine(s));
    nearby->clear();
    nearby->addItems(items);
    const int again = chosen.isEmpty() ? -1 : nearby->findText(chosen);
    nearby->setCurrentIndex(again > 0 ? again : 0);
  });
  grid->addWidget(Label("Listen Port", listen), 2, 0);
  // Beside the port: the name our session is announced under on it (a taken name gets "#2"),
  // or how the search for nearby sessions stands.
  auto* announced = binder.Display(form.EditNearby, "EditNearby", 0);
  announced->setToolTip("Nearby: our announcement on this network");
  auto* listenRow = new QHBoxLayout;
  listenRow->addWidget(listen);
  listenRow->addWidget(announced, 1);
  grid->addLayout(listenRow, 2, 1);
  grid->addWidget(Label("Send Port", send), 3, 0);
  grid->addWidget(send, 3, 1);
  auto* passphrase = binder.Setting(form.EditPassphrase, "EditPassphrase", 15);
  passphrase->setEchoMode(QLineEdit::Password);
  passphrase->setToolTip("Both partners type the same one; empty: the session travels in clear");
  grid->addWidget(Label("Passphrase", passphrase), 4, 0);
  grid->addWidget(passphrase, 4, 1);
  auto* remember = binder.Check(form.CheckBoxRememberPassphrase, "CheckBoxRememberPassphrase");
  remember->setToolTip("Keep the passphrase in the settings file, readable by you alone");
  auto* acceptAny = binder.Check(form.CheckBoxAcceptAny, "CheckBoxAcceptAny");
  acceptAny->setToolTip("Take packets from any address, not only from IP Dest");
  auto* checks = new QHBoxLayout;
  checks->addWidget(remember);
  checks->addWidget(acceptAny);
  checks->addStretch();
  grid->addLayout(checks, 5, 1);
  auto* buttons = new QHBoxLayout;
  buttons->addWidget(binder.Command(form.ButtonInvertPort, "ButtonInvertPort",
                                    [&form] { form.ButtonInvertPortClick(); }));
  buttons->addWidget(binder.Command(form.ButtonStartRTP, "ButtonStartRTP",
                                    [&form] { form.ButtonStartRTPClick(); }));
  // Through routers without a typed address: one dialog at a time, kept while its connection
  // carries the session.
  auto open = [this, &form](bool invite) {
    delete dialog_;
    dialog_ = new ConnectionDialog(form, invite, window());
    dialog_->show();
  };
  buttons->addWidget(binder.Command(form.ButtonInvite, "ButtonInvite", [open] { open(true); }));
  buttons->addWidget(binder.Command(form.ButtonJoin, "ButtonJoin", [open] { open(false); }));
  buttons->addStretch();
  grid->addLayout(buttons, 6, 0, 1, 2);

  struct Row {
    const char* label;
    EditBox& box;
    const char* name;
  };
  Row rows[] = {
      {"RTP Status", form.EditStatutConnect, "EditStatutConnect"},
      {"Reception", form.EditStatutReceive, "EditStatutReceive"},
      {"# Received", form.EditNbrRec, "EditNbrRec"},
      {"# Sent", form.EditNbrSend, "EditNbrSend"},
      {"# Dropped", form.EditNbrDropped, "EditNbrDropped"},
      {"# Refused", form.EditNbrRefused, "EditNbrRefused"},
      {"BandWidth", form.EditDebit, "EditDebit"},
  };
  // How the session is protected and whether its handshake is done, under the buttons, beside
  // the last counters.
  auto* security = binder.Display(form.EditSecurity, "EditSecurity", 0);
  grid->addWidget(Label("Security"), 7, 0);
  grid->addWidget(security, 7, 1);
  int r = 1;
  for (Row& row : rows) {
    auto* edit = binder.Display(row.box, row.name, 0);
    edit->setMinimumWidth(QFontMetrics(edit->font()).horizontalAdvance("erreur a l'envoi") + 14);
    grid->addWidget(Label(row.label), r, 2);
    grid->addWidget(edit, r, 3);
    ++r;
  }
  // Beside the counters, so the window grows no taller: the wire of the next session, our name
  // in RTP-MIDI sessions, and an RTP-MIDI invitation from an address other than IP Dest, which
  // waits for the player.
  auto* protocol = new QHBoxLayout;
  auto* protocols = new QButtonGroup(this);
  for (auto [button, name] : {std::pair{&form.RadioButtonTandem, "RadioButtonTandem"},
                              std::pair{&form.RadioButtonRtpMidi, "RadioButtonRtpMidi"}}) {
    const auto choice = static_cast<Protocol>(button->Index());
    QRadioButton* radio =
        binder.Radio(*button, name, [&form, choice] { form.SetProtocol(choice); });
    radio->setToolTip(choice == ProtocolTandem
                          ? "Tandem's own wire: chat, key snapshots, passphrase"
                          : "For a Mac, an iPad, rtpMIDI on Windows or rtpmidid: Listen Port is "
                            "the control port (5004 is usual), data on the next one");
    protocols->addButton(radio);
    protocol->addWidget(radio);
  }
  protocol->addStretch();
  grid->addWidget(Label("Protocol"), 1, 4);
  grid->addLayout(protocol, 1, 5);
  auto* sessionName = binder.Setting(form.EditSessionName, "EditSessionName", 0);
  sessionName->setToolTip("Our name in RTP-MIDI sessions, as the partner sees it");
  grid->addWidget(Label("Session name", sessionName), 2, 4);
  grid->addWidget(sessionName, 2, 5);
  grid->addWidget(Label("Invitation"), 3, 4);
  grid->addWidget(binder.Display(form.EditInvitation, "EditInvitation", 0), 3, 5);
  auto* answer = new QHBoxLayout;
  answer->addWidget(
      binder.Command(form.ButtonAccept, "ButtonAccept", [&form] { form.ButtonAcceptClick(); }));
  answer->addWidget(
      binder.Command(form.ButtonRefuse, "ButtonRefuse", [&form] { form.ButtonRefuseClick(); }));
  answer->addStretch();
  grid->addLayout(answer, 4, 5);
  // The link line is longer than the other displays: it gets the group's whole width.
  auto* link = binder.Display(form.EditLink, "EditLink", 0);
  grid->addWidget(Label("Link"), r, 0);
  grid->addWidget(link, r, 1, 1, 5);
  grid->setColumnStretch(3, 1);
  grid->setColumnStretch(5, 1);
  grid->setColumnMinimumWidth(1, 10);
}

}  // namespace tandem
