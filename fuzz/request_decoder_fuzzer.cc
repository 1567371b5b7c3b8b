// Any bytes as a request body. A body that decodes holds only valid UTF-8 texts, reads back as
// itself after encoding, and renders as one log line from which its texts read back; a body that
// does not decode fails with a one-line text that points into the body.
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
  auto decoded = decode_request(body);
  if (!decoded) {
    check_failure_text(decoded.error().text, body);
    return 0;
  }
  const Request& request = *decoded;
  check_texts_are_utf8(request);

  const std::string encoded = encode_request(request);
  check_compact_json(encoded);
  auto again = decode_request(encoded);
  if (!again) fail("an encoded request does not decode", again.error().text + " <- " + encoded);
  expect(*again == request, "an encoded request decodes to another request", encoded);
  expect(encode_request(*again) == encoded, "encoding is not stable", encoded);

  check_log_rendering(request, render_for_log(request));
  return 0;
}
