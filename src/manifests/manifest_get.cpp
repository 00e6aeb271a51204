// Reference resolution and manifest retrieval.
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "core/boundary.h"
#include "core/context.h"
#include "core/fileutil.h"
#include "core/paths.h"
#include "core/result.h"
#include "manifests/manifest_store.h"
#include "platform/platform.h"
#include "reg_storage.h"

namespace reg {

bool is_digest_reference(const char* reference) {
  return std::strncmp(reference, kDigestPrefix.data(), kDigestPrefix.size()) == 0;
}

bool read_tag_link(std::string_view repo, std::string_view tag, char* buf, std::size_t cap,
                   std::size_t* len) {
  Path link;
  return manifest_tag_path(repo, tag, link) && read_file(link.c_str(), buf, cap, len) == 0;
}

TagLink tag_link_names(std::string_view repo, std::string_view tag, std::string_view hex) {
  Path link;
  if (!manifest_tag_path(repo, tag, link)) return TagLink::other;  // no call can address it
  char buf[kLinkReadCap];
  std::size_t n = 0;
  if (int e = read_file_status(link.c_str(), buf, sizeof buf, &n))
    return platform::is_absent(e) ? TagLink::other : TagLink::unknown;
  const std::string_view text(buf, n);
  const bool names = n >= kDigestLen && text.starts_with(kDigestPrefix) &&
                     text.substr(kDigestPrefix.size(), kHexLen) == hex;
  return names ? TagLink::names : TagLink::other;
}

namespace {

int resolve_digest(const char* repo, const char* reference, char* hex_out) {
  if (!digest_valid(reference)) {
    set_error("invalid digest reference");
    return -1;
  }
  const char* hex = reference + kDigestPrefix.size();
  Path rev, body;
  if (!manifest_rev_path(repo, hex, rev) || !manifest_body_path(repo, hex, body)) {
    set_error("path too long");
    return -1;
  }
  // The revision link is the usual marker; a body without one (a push cut short) still counts.
  // Only what is known to be absent is "not found": a query that failed tells nothing.
  const Presence r = file_presence(rev.c_str());
  const Presence b = r == Presence::file ? r : file_presence(body.c_str());
  if (b != Presence::file) {
    if (r == Presence::unreadable || b == Presence::unreadable)
      set_error("cannot read manifest: %s@%s", repo, reference);
    else
      set_error("manifest not found: %s@%s", repo, reference);
    return -1;
  }
  std::memcpy(hex_out, hex, kHexLen + 1);
  return 0;
}

int resolve_tag(const char* repo, const char* tag, char* hex_out) {
  Path link;
  if (!manifest_tag_path(repo, tag, link)) {
    set_error("path too long");
    return -1;
  }
  char buf[kLinkReadCap];
  std::size_t n = 0;
  if (int e = read_file_status(link.c_str(), buf, sizeof buf, &n)) {
    // A link that is there but cannot be read (or a tags directory that cannot be searched)
    // is a failure: a client told "not found" would act on an absence that is not one.
    if (platform::is_absent(e))
      set_error("tag not found: %s:%s", repo, tag);
    else
      set_error("cannot read tag: %s:%s", repo, tag);
    return -1;
  }
  // The whole content must be the digest: a NUL inside would otherwise hide trailing bytes.
  if (n != kDigestLen || !digest_valid(buf)) {
    set_error("corrupt tag link: %s:%s", repo, tag);
    return -1;
  }
  std::memcpy(hex_out, buf + kDigestPrefix.size(), kHexLen + 1);
  return 0;
}

enum class BodyRead { ok, missing, unreadable, too_large };

// The whole body, or nothing: a body the result buffer cannot hold whole is refused rather
// than handed back cut, since its digest would no longer match.
BodyRead read_body(const Path& path, std::string& out) {
  std::unique_ptr<platform::File> f;
  std::uint64_t size = 0;
  if (int e = platform::open_file(path.c_str(), platform::File::Mode::read, &f))
    return platform::is_absent(e) ? BodyRead::missing : BodyRead::unreadable;
  if (f->size(&size) != 0) return BodyRead::unreadable;
  if (size > kMaxManifestBody) return BodyRead::too_large;
  // Stored files are replaced by rename, never rewritten in place: an open body keeps its size.
  out.resize(static_cast<std::size_t>(size));
  std::size_t got = 0;
  if (!out.empty() && f->read(out.data(), out.size(), &got) != 0) return BodyRead::unreadable;
  out.resize(got);
  return BodyRead::ok;
}

void read_content_type(const char* repo, const char* hex, char* content_type_out) {
  constexpr std::size_t kCtCap = 127;
  char ct[kCtCap];
  std::size_t n = 0;
  Path p;
  if (manifest_ct_path(repo, hex, p) && read_file(p.c_str(), ct, sizeof ct, &n) == 0 && n > 0)
    std::memcpy(content_type_out, ct, n + 1);
  else
    std::snprintf(content_type_out, kCtCap, "%s", kDefaultMediaType.data());
}

const char* manifest_get(const char* repo, const char* reference, char* content_type_out,
                         char* digest_out) {
  if (!repo || !reference || !content_type_out || !digest_out) {
    set_error("NULL argument");
    return nullptr;
  }
  if (!require_ready()) return nullptr;
  if (!repo_name_valid(repo)) {
    set_error("invalid repository name");
    return nullptr;
  }
  if (!is_digest_reference(reference) && !tag_name_valid(reference)) {
    set_error("invalid tag: %s", reference);
    return nullptr;
  }
  char hex[kHexLen + 1];
  if (manifest_resolve(repo, reference, hex) != 0) return nullptr;
  Path body_path;
  if (!manifest_body_path(repo, hex, body_path)) {
    set_error("path too long");
    return nullptr;
  }
  std::string body;
  switch (read_body(body_path, body)) {
    case BodyRead::missing:
      set_error("manifest body not found: %s@%s", repo, reference);
      return nullptr;
    case BodyRead::unreadable:
      set_error("cannot read manifest body: %s@%s", repo, reference);
      return nullptr;
    case BodyRead::too_large:
      set_error("manifest body too large: %s@%s", repo, reference);
      return nullptr;
    case BodyRead::ok:
      break;
  }
  ResultWriter out;
  out.append(body);  // at most kMaxManifestBody bytes: always fits
  read_content_type(repo, hex, content_type_out);
  std::snprintf(digest_out, kDigestLen + 1, "sha256:%s", hex);
  return out.finish();
}

}  // namespace

int manifest_resolve(const char* repo, const char* reference, char* hex_out) {
  return is_digest_reference(reference) ? resolve_digest(repo, reference, hex_out)
                                        : resolve_tag(repo, reference, hex_out);
}

}  // namespace reg

extern "C" {

const char* reg_manifest_get(const char* repo, const char* reference, char* content_type_out,
                             char* digest_out) {
  return reg::guarded(static_cast<const char*>(nullptr), [&] {
    return reg::manifest_get(repo, reference, content_type_out, digest_out);
  });
}

}  // extern "C"
