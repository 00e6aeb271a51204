/*
 * tarnwick-registry-storage: the storage engine of a container-image registry.
 *
 * Conventions of every function below:
 *  - int functions return 0 on success and -1 on failure, unless said otherwise.
 *  - On failure a fixed English message is available from reg_storage_last_error().
 *  - Text results point into a library-owned 1 MiB buffer of the calling thread. The text
 *    stays valid until that thread's next call that returns text; copy it if you need it
 *    longer. Never free it.
 *  - Nothing allocated by the library is handed to the caller.
 *
 * Threads: every function may be called from any number of threads at once. The message of
 * reg_storage_last_error() and the text results are kept per calling thread, so each thread
 * sees the outcome of its own calls, exactly as a single-threaded caller does. Calls on
 * different uploads, blobs and repositories run in parallel; writers of one repository's
 * manifests (put, delete, repository delete, retention) take turns. reg_storage_init and
 * reg_storage_cleanup wait for the calls in progress and hold off new ones while they run.
 * Other processes sharing the storage root coordinate only through its files.
 */
#ifndef REG_STORAGE_H
#define REG_STORAGE_H

#include <stddef.h>

#if defined(REG_BUILDING_LIBRARY)
#define REG_API __attribute__((visibility("default")))
#else
#define REG_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Context ------------------------------------------------------------------------- */

/**
 * Opens a storage root: creates it with blobs/sha256, repositories and uploads below it and
 * writes config.json when absent. May be called again to switch roots.
 * @param root_dir The storage root, absolute or relative, at most 3499 characters; one
 *     trailing '/' is dropped. NULL or empty fails and leaves an open root open.
 * @return 0, or -1 (the library is then not initialised, except for an empty argument).
 */
REG_API int reg_storage_init(const char* root_dir);

/** Forgets the storage root; every storage operation then fails until the next init. */
REG_API void reg_storage_cleanup(void);

/**
 * @return The message of the most recent failure, or "" when none was recorded since the
 *     last successful reg_storage_init. Never NULL; library-owned.
 */
REG_API const char* reg_storage_last_error(void);

/* ---- Uploads ------------------------------------------------------------------------- */

/**
 * Starts an upload: creates a new, empty upload file.
 * @param out_upload_uuid Buffer of at least 37 bytes; receives the 36-character upload id.
 * @return 0 or -1.
 */
REG_API int reg_blob_start_upload(char* out_upload_uuid);

/**
 * Appends `len` bytes to an open upload. `data` must not be NULL, even for `len` 0.
 * @return 0 or -1 ("upload not found: <id>" when the upload is gone).
 */
REG_API int reg_blob_append_chunk(const char* upload_uuid, const void* data, size_t len);

/**
 * Commits an upload: hashes what it received and, when it matches `expected_digest`
 * ("sha256:" and 64 lowercase hex digits), stores it as that blob.
 * @param out_digest Buffer of at least 72 bytes; receives the blob's digest.
 * @return 0 or -1. A digest mismatch removes the upload; other failures leave it open.
 */
REG_API int reg_blob_finish_upload(const char* upload_uuid, const char* expected_digest,
                                   char* out_digest);

/** Abandons an upload. An id that is not open (never started, finished) succeeds. */
REG_API int reg_blob_cancel_upload(const char* upload_uuid);

/**
 * @param out_bytes Receives the number of bytes the upload has received (only on success).
 * @return 0 or -1.
 */
REG_API int reg_blob_upload_size(const char* upload_uuid, long long* out_bytes);

/* ---- Blobs --------------------------------------------------------------------------- */

/** @return 1 when the blob is stored, 0 when not (no message), -1 on a bad argument. */
REG_API int reg_blob_exists(const char* digest);

/** @return The blob's size in bytes, or -1 (a missing blob records no message). */
REG_API long long reg_blob_get_size(const char* digest);

/**
 * Gives the path of a blob's file so the caller can serve its bytes.
 * @param out_path Buffer of `out_size` bytes; written only on success.
 * @return 0 or -1 ("path buffer too small" when the path and its NUL do not fit).
 */
REG_API int reg_blob_get_filepath(const char* digest, char* out_path, size_t out_size);

/** Removes a blob, whether or not a manifest names it. @return 0 or -1. */
REG_API int reg_blob_delete(const char* digest);

/* ---- Tag protection ------------------------------------------------------------------ */

/**
 * Sets the rules that make tags immutable, for example "release-*, team/app:rc*".
 * Rules are separated by ',' or ';'; each is "repo-pattern:tag-pattern", "repo/tag-pattern"
 * or a bare tag pattern; '*' matches any run of characters. NULL or "" clears them. Kept in
 * memory only; independent of reg_storage_init. Text past 4095 characters is dropped.
 */
REG_API void reg_tag_protection_set(const char* rules);

/** @return 1 when `tag` of `repo` is protected by the current rules, else 0. Never fails. */
REG_API int reg_tag_is_protected(const char* repo, const char* tag);

/* ---- Manifests ----------------------------------------------------------------------- */

/**
 * Stores a manifest or index after checking that everything it names is stored.
 * @param repo Repository name. @param reference A tag, or "sha256:..." to store untagged.
 * @param body The document, `body_len` bytes (at most 1048575), not NUL-terminated.
 * @param content_type The client's media type; NULL or "" means use the body's own.
 * @param digest_out Buffer of at least 72 bytes; receives the manifest's digest.
 * @return 0 or -1 ("TAG_IMMUTABLE: repo:tag", "BLOB_UNKNOWN: digest", ...).
 */
REG_API int reg_manifest_put(const char* repo, const char* reference, const char* body,
                             size_t body_len, const char* content_type, char* digest_out);

/**
 * Fetches a manifest by tag or digest.
 * @param content_type_out Buffer of at least 127 bytes; receives the stored media type.
 * @param digest_out Buffer of at least 72 bytes; receives the manifest's digest.
 * @return The body as NUL-terminated text in the result buffer, or NULL.
 */
REG_API const char* reg_manifest_get(const char* repo, const char* reference,
                                     char* content_type_out, char* digest_out);

/**
 * Deletes a tag (and its manifest when no other tag names it), or a manifest by digest with
 * every tag naming it. Protected tags refuse both. @return 0 or -1.
 */
REG_API int reg_manifest_delete(const char* repo, const char* reference);

/**
 * Deletes a repository, keeping its protected tags and their manifests in place; repositories
 * nested below it stay whole. @return 0 or -1 ("delete repository failed: repo" leaves every
 * protected tag as it was).
 */
REG_API int reg_repo_delete(const char* repo);

/* ---- Listings ------------------------------------------------------------------------ */

/**
 * One page of the sorted repository names: {"repositories":[...]}.
 * @param n Page size; 0 or negative for all. @param last Last name of the previous page,
 *     NULL or "" to start at the beginning.
 * @param has_more May be NULL; receives 1 when names follow. @param next_last May be NULL;
 *     receives the page's last name, cut to `next_last_size` - 1 bytes.
 * @return JSON text in the result buffer, or NULL.
 */
REG_API const char* reg_catalog_json_page(int n, const char* last, int* has_more, char* next_last,
                                          size_t next_last_size);
/** reg_catalog_json_page(n, last, NULL, NULL, 0). */
REG_API const char* reg_catalog_json(int n, const char* last);

/** One page of a repository's sorted tags: {"name":"...","tags":[...]}. As the catalog. */
REG_API const char* reg_tags_list_json_page(const char* repo_name, int n, const char* last,
                                            int* has_more, char* next_last, size_t next_last_size);
/** Every tag of a repository, unpaged. */
REG_API const char* reg_tags_list_json(const char* repo_name);

/** Counts of repositories, tags, blobs and uploads with their sizes, as JSON. */
REG_API const char* reg_storage_get_stats_json(void);

/**
 * Every stored manifest whose config, layers or manifests name `digest`, as an OCI image
 * index. The subject must be a stored blob or manifest. Clears the last error on success.
 */
REG_API const char* reg_referrers_json(const char* digest);

/* ---- Maintenance --------------------------------------------------------------------- */

/** Asks a running garbage collection (in any process on this root) to stop. @return 0, -1. */
REG_API int reg_gc_cancel(void);

/** The current collection's progress snapshot as JSON (idle when none). Never NULL. */
REG_API const char* reg_gc_progress_json(void);

/**
 * Removes stale uploads and every blob no stored manifest names.
 * @param dry_run Non-zero: count only, remove nothing.
 * @return A JSON summary, or NULL (for instance "uploads in progress"). Clears the last
 *     error on success.
 */
REG_API const char* reg_gc_json(int dry_run);

/**
 * Deletes tags beyond the newest `keep_n` per repository and tags older than `days` days,
 * sparing "latest" (unless `include_latest`) and protected tags.
 * @param truncated May be NULL; receives 1 when the report lists fewer tags than selected.
 * @return A JSON report, or NULL. Clears the last error on success.
 */
REG_API const char* reg_retention_json(int dry_run, int keep_n, int days, int include_latest,
                                       int* truncated);

#ifdef __cplusplus
}
#endif

#endif /* REG_STORAGE_H */
