// SPDX-License-Identifier: MIT
// The settings file changed in place, atomically.
#include "settings_write.h"

#include "app.h"
#include "tavro_service.h"
#include "texts.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <yyjson.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>

namespace tavro_cli {
namespace {

// The temporary file of the write in progress, for abandon_settings_write.
char g_temp[4096];
std::atomic<bool> g_temp_set{false};

std::string why(int err) {
  return std::strerror(err);
}

// Owns a mutable yyjson document.
struct MutDoc {
  yyjson_mut_doc *doc = nullptr;
  explicit MutDoc(const std::string &text) {
    tavro::Doc read = read_json(text);
    doc = read.get() ? yyjson_doc_mut_copy(read.get(), nullptr) : yyjson_mut_doc_new(nullptr);
    if (!doc) throw std::bad_alloc();
    if (!yyjson_mut_is_obj(yyjson_mut_doc_get_root(doc)))
      yyjson_mut_doc_set_root(doc, yyjson_mut_obj(doc));
  }
  ~MutDoc() { yyjson_mut_doc_free(doc); }
  MutDoc(const MutDoc &) = delete;
  MutDoc &operator=(const MutDoc &) = delete;
  yyjson_mut_val *root() const { return yyjson_mut_doc_get_root(doc); }
  std::string text() const {
    size_t len = 0;
    char *t = yyjson_mut_write(
        doc, YYJSON_WRITE_PRETTY_TWO_SPACES | YYJSON_WRITE_ALLOW_INVALID_UNICODE, &len);
    if (!t) throw std::bad_alloc();
    std::string s(t, len);
    std::free(t);
    return s;
  }
};

// Creates the missing directories of dir, each 0700. 0, or errno.
int make_dirs(const std::string &dir) {
  if (dir.empty()) return 0;
  struct stat st {};
  if (stat(dir.c_str(), &st) == 0) return S_ISDIR(st.st_mode) ? 0 : ENOTDIR;
  size_t slash = dir.find_last_of('/');
  if (slash != std::string::npos && slash > 0)
    if (int rc = make_dirs(dir.substr(0, slash))) return rc;
  if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) return errno;
  return 0;
}

// Writes all of text to fd. 0, or errno.
int write_all(int fd, const std::string &text) {
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return n < 0 ? errno : EIO;
    done += static_cast<size_t>(n);
  }
  return 0;
}

} // namespace

int read_for_change(const std::string &path, SettingsEdit &edit, std::string &error) {
  edit = SettingsEdit{};
  edit.path = path;
  edit.text = "{}";
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) {
    if (errno == ENOENT) return -1;
    error = path + ": " + why(errno);
    return kExitHost;
  }
  if (S_ISDIR(st.st_mode)) {
    error = path + ": is a directory, not a settings file";
    return kExitHost;
  }
  if (st.st_size > TAVRO_SETTINGS_MAX) {
    error = path + ": settings larger than 1 MiB";
    return kExitUsage;
  }
  std::string text, why_not;
  if (!read_file(path, text, why_not)) {
    error = why_not;
    return kExitHost;
  }
  if (text.compare(0, 3, "\xEF\xBB\xBF") == 0) text.erase(0, 3);
  tavro::Doc doc = read_json(text);
  if (!yyjson_is_obj(doc.root())) {
    error = path + ": " + (doc.get() ? "not a JSON object" : "not JSON") +
            "; it is left as it is (a settings file is a JSON object such as "
            "{\"APIKey\":\"...\"})";
    return kExitUsage;
  }
  edit.exists = true;
  edit.text = text;
  return -1;
}

std::string with_member(const std::string &text, const char *key, const std::string &value) {
  MutDoc d(text);
  yyjson_mut_val *root = d.root();
  yyjson_mut_val *v = yyjson_mut_strncpy(d.doc, value.data(), value.size());
  bool set = false;
  yyjson_mut_obj_iter it = yyjson_mut_obj_iter_with(root);
  for (yyjson_mut_val *k; (k = yyjson_mut_obj_iter_next(&it));) {
    if (!yyjson_mut_equals_str(k, key)) continue;
    if (!set) {
      // In its place: the key's value is the next value of its pair.
      yyjson_mut_obj_iter_get_val(k)->tag = v->tag;
      yyjson_mut_obj_iter_get_val(k)->uni = v->uni;
      set = true;
    } else {
      yyjson_mut_obj_iter_remove(&it);
    }
  }
  if (!set) yyjson_mut_obj_add(root, yyjson_mut_strcpy(d.doc, key), v);
  return d.text();
}

std::string without_members(const std::string &text, std::initializer_list<const char *> keys,
                            bool *removed) {
  MutDoc d(text);
  *removed = false;
  yyjson_mut_obj_iter it = yyjson_mut_obj_iter_with(d.root());
  for (yyjson_mut_val *k; (k = yyjson_mut_obj_iter_next(&it));) {
    for (const char *name : keys) {
      if (yyjson_mut_equals_str(k, name)) {
        yyjson_mut_obj_iter_remove(&it);
        *removed = true;
        break;
      }
    }
  }
  return d.text();
}

bool write_settings(const std::string &path, const std::string &text, std::string &error) {
  auto fail = [&](const std::string &what, int err) {
    error = "cannot write " + path + ": " + what + (err ? std::string(": ") + why(err) : "") +
            "; the old file is as it was";
    return false;
  };
  size_t slash = path.find_last_of('/');
  std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  if (int rc = make_dirs(dir)) return fail("cannot create the directory " + dir, rc);
  std::string temp = path + ".XXXXXX";
  if (temp.size() >= sizeof g_temp) return fail("the path is too long", 0);
  std::memcpy(g_temp, temp.c_str(), temp.size() + 1);
  int fd = mkstemp(g_temp);
  if (fd < 0) return fail("cannot create a file in " + dir, errno);
  g_temp_set = true;
  auto abandon = [&](const std::string &what, int err) {
    int saved = err;
    if (fd >= 0) close(fd);
    abandon_settings_write();
    return fail(what, saved);
  };
  if (fchmod(fd, 0600) != 0) return abandon("cannot make it private", errno);
  if (int rc = write_all(fd, text + "\n")) return abandon("cannot write it", rc);
  if (fsync(fd) != 0) return abandon("cannot flush it", errno);
  int rc = close(fd);
  fd = -1;
  if (rc != 0) return abandon("cannot close it", errno);
  if (rename(g_temp, path.c_str()) != 0) return abandon("cannot replace it", errno);
  g_temp_set = false;
  // The rename itself lasts once the directory is flushed.
  int dfd = open(dir.c_str(), O_RDONLY | O_DIRECTORY);
  if (dfd >= 0) {
    fsync(dfd);
    close(dfd);
  }
  return true;
}

void abandon_settings_write() {
  if (g_temp_set.exchange(false)) unlink(g_temp);
}

} // namespace tavro_cli
