// Any bytes as a reply body. A body that decodes holds only valid UTF-8 texts and reads back as
// itself after encoding; a body that does not decode fails with a one-line text that points into
// the body.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "checks.h"
#include "helper_ipc/codec.h"

using namespace helper_ipc;
using namespace pelmor::fuzz;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view body(reinterpret_cast<const char*>(data), size);
  auto decoded = decode_response(body);
  if (!decoded) {
    check_failure_text(decoded.error().text, body);
    return 0;
  }
  const Response& response = *decoded;
  check_texts_are_utf8(response);

  const std::string encoded = encode_response(response);
  check_compact_json(encoded);
  auto again = decode_response(encoded);
  if (!again) fail("an encoded reply does not decode", again.error().text + " <- " + encoded);
  expect(*again == response, "an encoded reply decodes to another reply", encoded);
  expect(encode_response(*again) == encoded, "encoding is not stable", encoded);
  return 0;
}
