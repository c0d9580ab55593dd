// Invitation and answer codes as pasted from a chat: any text is refused with a reason or read
// into a code that, written again, reads back the same.
#include <cstddef>
#include <cstdint>
#include <string>

#include "FuzzCheck.h"
#include "net/Invitation.h"

using namespace tandem;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  std::string error;
  const auto code = DecodeInvitation(text, error);
  if (!code) {
    FUZZ_CHECK(!error.empty());
    return 0;
  }
  std::string again;
  const auto back = DecodeInvitation(EncodeInvitation(*code), again);
  FUZZ_CHECK(back.has_value());
  FUZZ_CHECK(back->kind == code->kind && back->id == code->id && back->ice == code->ice &&
             back->fingerprint == code->fingerprint);
  return 0;
}
