// Where the CLI's transport sends each URL the library asks for under
// --api-root: the origin of the API root rewritten, the version segment the
// library chose kept, and nothing else touched.
#include "curl_io.h"

#include <cstdio>
#include <string>

int main() {
  struct Case {
    const char *root, *to, *url, *expect;
  } cases[] = {
      // The root itself and what is under it.
      {"https://api.alldebrid.com/v4", "http://127.0.0.1:81/v4",
       "https://api.alldebrid.com/v4/user?agent=a&apikey=K",
       "http://127.0.0.1:81/v4/user?agent=a&apikey=K"},
      {"https://api.alldebrid.com/v4", "http://127.0.0.1:81/v4/", "https://api.alldebrid.com/v4",
       "http://127.0.0.1:81/v4"},
      // Another version of the API on the same origin keeps its version.
      {"https://api.alldebrid.com/v4", "http://127.0.0.1:81/v4",
       "https://api.alldebrid.com/v4.1/magnet/status?agent=a&apikey=K",
       "http://127.0.0.1:81/v4.1/magnet/status?agent=a&apikey=K"},
      {"https://api.alldebrid.com/v4", "http://h.test/proxy/v4",
       "https://api.alldebrid.com/v4.1/magnet/status", "http://h.test/proxy/v4.1/magnet/status"},
      {"https://api.alldebrid.com/v4", "http://h.test", "https://api.alldebrid.com/v4.1/x?a=1",
       "http://h.test/v4.1/x?a=1"},
      {"https://api.alldebrid.com/v4", "http://h.test", "https://api.alldebrid.com/v4/x?a=1",
       "http://h.test/x?a=1"},
      // Not a version segment, not the API's origin, or no rewrite asked.
      {"https://api.alldebrid.com/v4", "http://h.test/v4", "https://api.alldebrid.com/v4x/user",
       "https://api.alldebrid.com/v4x/user"},
      {"https://api.alldebrid.com/v4", "http://h.test/v4", "https://api.alldebrid.com/v./user",
       "https://api.alldebrid.com/v./user"},
      {"https://api.alldebrid.com/v4", "http://h.test/v4", "https://api.alldebrid.com/user",
       "https://api.alldebrid.com/user"},
      {"https://api.alldebrid.com/v4", "http://h.test/v4",
       "https://api.alldebrid.com.evil.test/v4/user",
       "https://api.alldebrid.com.evil.test/v4/user"},
      {"https://api.alldebrid.com/v4", "http://h.test/v4", "https://tracker.test/v4/a.torrent",
       "https://tracker.test/v4/a.torrent"},
      {"https://api.alldebrid.com/v4", "", "https://api.alldebrid.com/v4.1/magnet/status",
       "https://api.alldebrid.com/v4.1/magnet/status"},
      // A root without a version: only what is under it.
      {"https://api.example.invalid/api", "http://h.test/web",
       "https://api.example.invalid/api/echo", "http://h.test/web/echo"},
      {"https://api.example.invalid/api", "http://h.test/web",
       "https://api.example.invalid/apix/echo", "https://api.example.invalid/apix/echo"},
  };
  int failures = 0;
  for (const Case &c : cases) {
    tavro_cli::CurlOptions options;
    options.api_root = c.root;
    options.api_root_to = c.to;
    tavro_cli::CurlTransport transport(options);
    std::string got = transport.target(c.url);
    if (got != c.expect) {
      ++failures;
      std::fprintf(stderr, "root %s to \"%s\": %s\n  went to  %s\n  expected %s\n", c.root, c.to,
                   c.url, got.c_str(), c.expect);
    }
  }
  if (failures) return 1;
  std::printf("every URL went where it should\n");
  return 0;
}
