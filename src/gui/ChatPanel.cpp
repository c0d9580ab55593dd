#include "gui/ChatPanel.h"

#include <QHBoxLayout>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>
#include <algorithm>

#include "gui/FormBinder.h"

namespace tandem {

QString TruncateUtf8(const QString& text, int maxBytes) {
  if (text.toUtf8().size() <= maxBytes) return text;
  QString out;
  int bytes = 0;
  for (int i = 0; i < text.size();) {
    // A surrogate pair is one character: keep both halves or neither.
    int units = text.at(i).isHighSurrogate() && i + 1 < text.size() ? 2 : 1;
    int size = static_cast<int>(text.mid(i, units).toUtf8().size());
    if (bytes + size > maxBytes) break;
    out += text.mid(i, units);
    bytes += size;
    i += units;
  }
  return out;
}

ChatPanel::ChatPanel(FormBinder& binder) {
  setObjectName("Chat");
  TFormCtl& form = binder.Form();
  auto* column = new QVBoxLayout(this);
  column->setContentsMargins(0, 0, 0, 0);
  column->setSpacing(4);
  // Four lines at least (it grows with the window), so the window with its Link line still fits
  // a 768-pixel screen.
  auto* memo = binder.MemoView(form.MemoChat, "MemoChat", 4);
  column->addWidget(memo, 1);

  auto* row = new QHBoxLayout;
  auto* entry = binder.Setting(form.EditChat, "EditChat", 0);
  entry->setPlaceholderText("Message to the other side");
  // The record carries 98 bytes of text: a character that would not fit whole is refused. The
  // binding has passed the whole text to the model already; the model gets the cut text too.
  connect(entry, &QLineEdit::textEdited, this, [entry, &form](const QString& text) {
    QString fitting = TruncateUtf8(text, static_cast<int>(kChatMaxChars));
    if (fitting == text) return;
    int cursor = std::min(entry->cursorPosition(), static_cast<int>(fitting.size()));
    entry->setText(fitting);
    entry->setCursorPosition(cursor);
    form.EditChat.SetText(fitting.toStdString());
  });
  connect(entry, &QLineEdit::returnPressed, this,
          [&binder, &form] { binder.RunCommand([&form] { form.EditChatKeyPress('\r'); }); });
  row->addWidget(entry, 1);
  entry->setFocus();  // the window opens ready to chat
  row->addWidget(binder.Command(form.ButtonChatSend, "ButtonChatSend",
                                [&form] { form.ButtonChatSendClick(); }));
  column->addLayout(row);
}

}  // namespace tandem
