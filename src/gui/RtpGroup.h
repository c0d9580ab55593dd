// The RTP group: the addresses of this computer, the peer's address and ports, the passphrase,
// Start RTP, and the session's status and counters.
#pragma once

#include <QGroupBox>

namespace tandem {

class ConnectionDialog;
class FormBinder;

class RtpGroup : public QGroupBox {
  Q_OBJECT
 public:
  explicit RtpGroup(FormBinder& binder);

 private:
  ConnectionDialog* dialog_ = nullptr;  // the window's child, so closed with it
};

}  // namespace tandem
