// The JSON bodies of frames, and the log rendering of requests.
#pragma once

#include <string>
#include <string_view>

#include "helper_ipc/messages.h"
#include "helper_ipc/result.h"

namespace helper_ipc {

// Why a body did not decode. `text` is the complete message, normally ending in
// " at line {} column {}" (lines from 1, columns in bytes within the line).
struct DecodeError {
  std::string text;
  friend bool operator==(const DecodeError&, const DecodeError&) = default;
};

// Decodes one frame body as a Request. The body must hold exactly one JSON value, with nothing
// but JSON white space around it, and be valid UTF-8 wherever text is kept.
Result<Request, DecodeError> decode_request(std::string_view body);

// Encodes a Response as compact JSON (no white space anywhere). Cannot fail.
std::string encode_response(const Response& response);

// The client's side of the same forms.
// Encodes a Request as compact JSON: named fields as an object, in declaration order.
std::string encode_request(const Request& request);
// Decodes one frame body as a Response, with the same rules and failure texts as decode_request.
Result<Response, DecodeError> decode_response(std::string_view body);

// Renders a Request as one line of text for the log, for example
// `IfconfigSet { iface: "en0", addr: 192.168.2.1, mask: 255.255.255.0 }`. Texts are quoted and
// escaped so that the rendering never spans lines.
std::string render_for_log(const Request& request);

// The name of a request's variant, as it appears in JSON ("PfLoadAnchor").
std::string_view variant_name(const Request& request);

}  // namespace helper_ipc
