#include "helper_ipc/result.h"

#include <cstdio>
#include <cstdlib>

namespace helper_ipc::detail {

void bad_result_access(const char* what, const std::string* error_text) {
  if (error_text != nullptr) {
    std::fprintf(stderr, "helper_ipc::Result: %s: %s\n", what, error_text->c_str());
  } else {
    std::fprintf(stderr, "helper_ipc::Result: %s\n", what);
  }
  std::abort();
}

}  // namespace helper_ipc::detail
