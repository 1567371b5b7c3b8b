#include "helper_ipc/message_frames.h"

#include <string>
#include <utility>

#include "helper_ipc/codec.h"

namespace helper_ipc {

Result<Request> read_frame(BufReader& reader) {
  BodyBuffer body;
  if (auto st = read_frame_body_into(reader, body); !st) return std::move(st).error();
  auto request = decode_request(body.view());
  if (!request) return IoError::invalid_data(std::move(request).error().text);
  return std::move(request).value();
}

Status write_frame(BufWriter& writer, const Response& response) {
  return write_frame_body(writer, encode_response(response));
}

Status write_frame_with_fd(int socket, const Response& response, int fd) {
  return write_frame_body_with_fd(socket, encode_response(response), fd);
}

Status write_request_frame(BufWriter& writer, const Request& request) {
  return write_frame_body(writer, encode_request(request));
}

Result<Response> read_response_frame(BufReader& reader) {
  BodyBuffer body;
  if (auto st = read_frame_body_into(reader, body); !st) return std::move(st).error();
  auto response = decode_response(body.view());
  if (!response) return IoError::invalid_data(std::move(response).error().text);
  return std::move(response).value();
}

Result<ResponseWithFd> read_response_frame_with_fd(int socket, const Deadline& deadline) {
  auto frame = read_frame_body_with_fd(socket, deadline);
  if (!frame) return std::move(frame).error();
  auto response = decode_response(frame->body);
  if (!response) return IoError::invalid_data(std::move(response).error().text);
  return ResponseWithFd{std::move(response).value(), std::move(frame->fd)};
}

}  // namespace helper_ipc
