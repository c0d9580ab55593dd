// The Retransmission group: how often a message is sent again, and the delays between copies.
#pragma once

#include <QGroupBox>

namespace tandem {

class FormBinder;

class RetransmissionGroup : public QGroupBox {
  Q_OBJECT
 public:
  explicit RetransmissionGroup(FormBinder& binder);
};

}  // namespace tandem
