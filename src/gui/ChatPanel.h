// The chat: the conversation with the other side and the line to type the next message in.
#pragma once

#include <QString>
#include <QWidget>

namespace tandem {

class FormBinder;

class ChatPanel : public QWidget {
  Q_OBJECT
 public:
  explicit ChatPanel(FormBinder& binder);
};

// Cuts `text` so that its UTF-8 form fits `maxBytes`, never inside a character.
QString TruncateUtf8(const QString& text, int maxBytes);

}  // namespace tandem
