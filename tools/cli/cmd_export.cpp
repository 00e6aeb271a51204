// export: copies an image, or an index with all its images, from the store into an OCI layout,
// checking every manifest and blob against its digest on the way.
#include <reg_storage.h>

#include "commands.h"
#include "platform/platform.h"
#include "digest.h"
#include "json_util.h"
#include "manifests/subject_index.h"
#include "oci_layout.h"

#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <vector>

namespace tool {
namespace {

struct FileClose {
  void operator()(FILE* f) const noexcept { fclose(f); }
};
using FilePtr = std::unique_ptr<FILE, FileClose>;

class Exporter {
 public:
  Exporter(std::string repo, std::string dir) : repo_(std::move(repo)), dir_(std::move(dir)) {}

  // Writes the manifest `reference` and everything it names; fills `top`. Each distinct
  // manifest and blob is written once: an index may list one child many times, at every
  // level, and visiting each mention would grow with their product.
  bool export_manifest(const std::string& reference, Descriptor& top) {
    if (const auto seen = written_.find(reference); seen != written_.end()) {
      top = seen->second;
      return true;
    }
    char ct[128] = {0};
    char digest[72] = {0};
    const char* text = reg_manifest_get(repo_.c_str(), reference.c_str(), ct, digest);
    if (text == nullptr) return library_error("manifest " + reference);
    std::string body = text;  // copied before the next call reuses the buffer
    if (sha256_digest(body) != digest) {
      error = "stored manifest does not match its digest: " + std::string(digest);
      return false;
    }
    top = Descriptor{ct, digest, static_cast<long long>(body.size()), ""};
    ManifestRefs refs;
    if (!parse_manifest_refs(body, refs, error)) return false;
    for (const Descriptor& child : refs.children) {
      Descriptor ignored;
      if (!export_manifest(child.digest, ignored)) return false;
    }
    for (const Descriptor& blob : refs.blobs)
      if (!export_blob(blob.digest)) return false;
    if (!write_file_atomic(layout_blob_path(dir_, top.digest), body)) {
      error = "cannot write " + layout_blob_path(dir_, top.digest);
      return false;
    }
    ++manifests;
    exported.push_back(top.digest);
    written_.emplace(top.digest, top);
    return true;
  }

  // The repository's referrers of every exported manifest (signatures, attestations, and
  // theirs in turn), each listed unnamed in index.json so that an import finds them.
  bool export_referrers(int& count) {
    std::set<std::string> done(exported.begin(), exported.end());
    for (std::size_t i = 0; i < exported.size(); ++i) {
      std::vector<std::string> descriptors;
      reg::subject_index_list(repo_, exported[i].substr(7), descriptors);
      for (const auto& text : descriptors) {
        const std::string digest = descriptor_digest(text);
        if (digest.empty() || done.count(digest)) continue;
        Descriptor d;
        if (!export_manifest(digest, d)) return false;
        done.insert(digest);
        if (!add_to_layout_index(dir_, d, error)) return false;
        ++count;
      }
    }
    return true;
  }

  std::string error;
  int manifests = 0, blobs = 0;
  std::vector<std::string> exported;  // manifest digests, in the order written

 private:
  bool library_error(const std::string& what) {
    error = what + ": " + reg_storage_last_error();
    return false;
  }

  // Copies the blob file while hashing it; the copy lands under its name only if it matches.
  bool export_blob(const std::string& digest) {
    if (!blobs_written_.insert(digest).second) return true;
    char path[4096];
    if (reg_blob_get_filepath(digest.c_str(), path, sizeof path) != 0)
      return library_error("blob " + digest);
    std::string dest = layout_blob_path(dir_, digest);
    std::string tmp = dest + ".tmp";
    // Read through the library's platform layer: only a regular file below the root, so a
    // link to a device or a FIFO in the store can neither fill the disk nor stall the copy.
    std::unique_ptr<reg::platform::File> in;
    const bool opened = reg::platform::open_file(path, reg::platform::File::Mode::read, &in) == 0;
    FilePtr out(opened ? fopen(tmp.c_str(), "wb") : nullptr);
    if (!opened || !out) {
      error = "cannot copy blob " + digest;
      return false;
    }
    Sha256 h;
    std::vector<char> buf(1 << 20);
    size_t n = 0;
    bool ok = true;
    while (ok && (ok = in->read(buf.data(), buf.size(), &n) == 0) && n > 0) {
      h.update(buf.data(), n);
      ok = fwrite(buf.data(), 1, n, out.get()) == n;
    }
    ok = ok && fclose(out.release()) == 0;
    std::error_code ec;
    if (!ok || h.finish() != digest) {
      std::filesystem::remove(tmp, ec);
      error =
          ok ? "stored blob does not match its digest: " + digest : "cannot copy blob " + digest;
      return false;
    }
    std::filesystem::rename(tmp, dest, ec);
    ++blobs;
    return !ec;
  }

  static std::string descriptor_digest(const std::string& text) {
    DocPtr doc = parse_json(text);
    const std::string d = doc ? json_str(yyjson_doc_get_root(doc.get()), "digest") : "";
    return is_sha256_digest(d) ? d : std::string();
  }

  std::string repo_, dir_;
  std::map<std::string, Descriptor> written_;  // manifests by digest
  std::set<std::string> blobs_written_;
};

}  // namespace

int run_export(const GlobalOptions& g, const std::string& source, const std::string& layout_dir) {
  ImageRef ref = parse_image_ref(source);
  if (ref.reference.empty()) return fail("export: the source needs a tag or digest");
  if (!open_store(g)) return 1;
  std::string error;
  if (!ensure_layout(layout_dir, error)) return fail("export: " + error);
  Exporter ex(ref.repo, layout_dir);
  Descriptor top;
  if (!ex.export_manifest(ref.reference, top)) return fail("export: " + ex.error);
  if (!ref.is_digest()) top.ref_name = ref.reference;
  if (!add_to_layout_index(layout_dir, top, error)) return fail("export: " + error);
  int referrers = 0;
  if (!ex.export_referrers(referrers)) return fail("export: " + ex.error);
  std::printf("exported %s (%s): %d manifests, %d blobs, %d referrers\n", source.c_str(),
              top.digest.c_str(), ex.manifests, ex.blobs, referrers);
  return 0;
}

}  // namespace tool
