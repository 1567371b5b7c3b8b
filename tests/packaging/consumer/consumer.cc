// Uses the installed headers and library: a request's body, a reply read back, and the version.
#include <cstdio>

#include "helper_ipc/client.h"
#include "helper_ipc/codec.h"

int main() {
  const std::string body = helper_ipc::encode_request(helper_ipc::PfEnable{});
  auto reply = helper_ipc::decode_response(R"({"PfToken":"42"})");
  const bool ok = body == R"("PfEnable")" && reply.ok() &&
                  std::get<helper_ipc::PfToken>(*reply).token == "42" &&
                  helper_ipc::kVersion == PACKAGE_VERSION;
  std::puts(ok ? "consumer ok" : "consumer FAILED");
  return ok ? 0 : 1;
}
