// The RTP group: the addresses of this computer, the peer's address and ports, the passphrase,
// Start RTP, and the session's status and counters.
#pragma once

#include <QGroupBox>

namespace tandem {

class FormBinder;

class RtpGroup : public QGroupBox {
  Q_OBJECT
 public:
  explicit RtpGroup(FormBinder& binder);
};

}  // namespace tandem
