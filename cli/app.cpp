// One call of an operation export, as a host makes it: a buffer of its own,
// and the per-thread copies for what does not fit.
#include "app.h"

#include <vector>

namespace tavro_cli {
namespace {

constexpr int32_t kBuffer = 64 * 1024;

template <class Op> Outcome call(const Library &lib, Op op) {
  std::vector<char> out(kBuffer, '\0');
  Outcome o;
  o.code = op(out.data(), kBuffer);
  o.document = out.data();
  if (o.code == TAVRO_E_BUFFER && o.document.empty() && *lib.tavro_result_json()) {
    // The result did not fit: the library kept all of it for this thread.
    o.code = TAVRO_OK;
    o.result = o.document = lib.tavro_result_json();
  } else if (o.code == TAVRO_OK) {
    o.result = o.document;
  } else {
    o.message = lib.tavro_last_error();
  }
  return o;
}

} // namespace

const char *code_name(int code) {
  switch (code) {
  case TAVRO_OK:
    return "TAVRO_OK";
  case TAVRO_E_AUTH:
    return "TAVRO_E_AUTH";
  case TAVRO_E_NOT_FOUND:
    return "TAVRO_E_NOT_FOUND";
  case TAVRO_E_LIMIT:
    return "TAVRO_E_LIMIT";
  case TAVRO_E_TRANSPORT:
    return "TAVRO_E_TRANSPORT";
  case TAVRO_E_FAILED:
    return "TAVRO_E_FAILED";
  case TAVRO_E_UNAVAILABLE:
    return "TAVRO_E_UNAVAILABLE";
  case TAVRO_E_WRITES_OFF:
    return "TAVRO_E_WRITES_OFF";
  case TAVRO_E_ARG:
    return "TAVRO_E_ARG";
  case TAVRO_E_BUFFER:
    return "TAVRO_E_BUFFER";
  default:
    return "unknown result code";
  }
}

Outcome do_validate(const Library &lib, const std::string &settings) {
  return call(lib,
              [&](char *out, int32_t n) { return lib.tavro_validate(settings.c_str(), out, n); });
}

Outcome do_list(const Library &lib, const std::string &settings, const char *folder) {
  return call(
      lib, [&](char *out, int32_t n) { return lib.tavro_list(settings.c_str(), folder, out, n); });
}

Outcome do_stream(const Library &lib, const std::string &settings, const std::string &entry) {
  return call(lib, [&](char *out, int32_t n) {
    return lib.tavro_stream_url(settings.c_str(), entry.c_str(), out, n);
  });
}

Outcome do_download(const Library &lib, const std::string &settings, const std::string &request) {
  return call(lib, [&](char *out, int32_t n) {
    return lib.tavro_download(settings.c_str(), request.c_str(), out, n);
  });
}

} // namespace tavro_cli
