// import: copies an image, or an index with all its images, from an OCI layout into the store.
// Every blob is checked against its descriptor's size and digest; the library checks the
// digest again when it commits the upload.
#include <reg_storage.h>

#include "commands.h"
#include "digest.h"
#include "manifests/subject_index.h"
#include "oci_layout.h"
#include "store_lock.h"

#include <cstdio>
#include <memory>
#include <set>
#include <vector>

namespace tool {
namespace {

constexpr int kImportLockWaitMs = 10 * 60 * 1000;

class Importer {
 public:
  Importer(std::string dir, std::string repo) : dir_(std::move(dir)), repo_(std::move(repo)) {}

  // Stores the manifest `d` (and everything it names) under `reference`. A child listed again
  // (at any level) is stored once.
  bool import_manifest(const Descriptor& d, const std::string& reference) {
    if (reference == d.digest && imported.count(d.digest)) return true;
    std::string body;
    ManifestRefs refs;
    if (!read_verified_blob(dir_, d, body, error) || !parse_manifest_refs(body, refs, error))
      return false;
    for (const Descriptor& child : refs.children)
      if (!import_manifest(child, child.digest)) return false;
    for (const Descriptor& blob : refs.blobs)
      if (!import_blob(blob)) return false;
    char digest[72];
    if (reg_manifest_put(repo_.c_str(), reference.c_str(), body.data(), body.size(),
                         d.media_type.c_str(), digest) != 0)
      return library_error("manifest " + d.digest);
    ++manifests;
    imported.insert(d.digest);
    return true;
  }

  // The layout's other entries whose subject was imported (signatures, attestations, and
  // theirs in turn), stored by digest beside it.
  bool import_referrers(const std::vector<Descriptor>& entries, int& count) {
    for (bool more = true; more;) {
      more = false;
      for (const Descriptor& e : entries) {
        std::string body, ignored;
        if (imported.count(e.digest) || !read_verified_blob(dir_, e, body, ignored) ||
            !imported.count(reg::subject_digest_of(body)))
          continue;
        if (!import_manifest(e, e.digest)) return false;
        ++count;
        more = true;
      }
    }
    return true;
  }

  std::string error;
  std::set<std::string> imported;
  int manifests = 0, blobs_copied = 0, blobs_present = 0;

 private:
  bool library_error(const std::string& what) {
    error = what + ": " + reg_storage_last_error();
    return false;
  }

  bool import_blob(const Descriptor& d) {
    if (reg_blob_exists(d.digest.c_str()) == 1) {
      ++blobs_present;
      return true;
    }
    struct FileClose {
      void operator()(FILE* f) const noexcept { fclose(f); }
    };
    std::unique_ptr<FILE, FileClose> f(fopen(layout_blob_path(dir_, d.digest).c_str(), "rb"));
    if (!f) {
      error = "blob missing from the layout: " + d.digest;
      return false;
    }
    char uuid[37];
    if (reg_blob_start_upload(uuid) != 0) return library_error("upload " + d.digest);
    if (!stream_into_upload(f.get(), uuid, d)) {
      reg_blob_cancel_upload(uuid);
      return false;
    }
    char digest[72];
    if (reg_blob_finish_upload(uuid, d.digest.c_str(), digest) != 0)
      return library_error("blob " + d.digest);
    ++blobs_copied;
    return true;
  }

  bool stream_into_upload(FILE* f, const char* uuid, const Descriptor& d) {
    std::vector<char> buf(1 << 20);
    long long total = 0;
    size_t n;
    while ((n = fread(buf.data(), 1, buf.size(), f)) > 0) {
      if (reg_blob_append_chunk(uuid, buf.data(), n) != 0)
        return library_error("upload " + d.digest);
      total += static_cast<long long>(n);
    }
    if (ferror(f) || total != d.size) {
      error = "blob does not match its descriptor: " + d.digest;
      return false;
    }
    return true;
  }

  std::string dir_, repo_;
};

// The index.json entry to import: the one named `tag`, else the only one.
bool pick_entry(const std::vector<Descriptor>& entries, const ImageRef& ref, Descriptor& out,
                std::string& error) {
  for (const Descriptor& d : entries)
    if ((!ref.is_digest() && d.ref_name == ref.reference) || d.digest == ref.reference) {
      out = d;
      return true;
    }
  if (entries.size() == 1) {
    out = entries[0];
    return true;
  }
  error = "the layout holds " + std::to_string(entries.size()) + " entries and none is named " +
          ref.reference;
  return false;
}

}  // namespace

int run_import(const GlobalOptions& g, const std::string& layout_dir, const std::string& target) {
  ImageRef ref = parse_image_ref(target);
  if (ref.reference.empty()) return fail("import: the destination needs a tag: REPO:TAG");
  std::vector<Descriptor> entries;
  Descriptor top;
  std::string error;
  if (!read_layout_index(layout_dir, entries, error) || !pick_entry(entries, ref, top, error))
    return fail("import: " + error);
  if (ref.is_digest() && top.digest != ref.reference)
    return fail("import: the layout entry has digest " + top.digest);
  if (!open_store(g)) return 1;
  StoreLock lock;  // a push like any other: never interleaved with a collection
  if (!lock.acquire_shared(g.root, kImportLockWaitMs, error)) return fail("import: " + error);
  Importer imp(layout_dir, ref.repo);
  if (!imp.import_manifest(top, ref.reference)) return fail("import: " + imp.error);
  int referrers = 0;
  if (!imp.import_referrers(entries, referrers)) return fail("import: " + imp.error);
  std::printf(
      "imported %s%s%s (%s): %d manifests, %d blobs copied, %d already stored, %d referrers\n",
      ref.repo.c_str(), ref.is_digest() ? "@" : ":", ref.reference.c_str(), top.digest.c_str(),
      imp.manifests, imp.blobs_copied, imp.blobs_present, referrers);
  return 0;
}

}  // namespace tool
