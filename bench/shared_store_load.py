#!/usr/bin/env python3
"""Pushes for the shared-store benchmark, over one kept-alive connection.

  big HOST:PORT MiB             one blob of MiB MiB: POST, one streamed PATCH, PUT
  small HOST:PORT N             N small blobs, each POST, PATCH, PUT as clients push them
  images HOST:PORT N LAYERS     N images of LAYERS small layers and a config (monolithic
                                blob uploads), each then named by a manifest
  pusher HOST:PORT STOPFILE     image pushes in a loop until STOPFILE exists; prints the
                                longest request and the count of refused requests
Prints the seconds taken (and what it measured) as one JSON object.
"""
import hashlib
import http.client
import json
import os
import sys
import time


def conn(addr):
    host, port = addr.rsplit(":", 1)
    return http.client.HTTPConnection(host, int(port), timeout=120)


class Client:
    def __init__(self, addr):
        self.c = conn(addr)
        self.longest = 0.0
        self.refused = 0

    def req(self, method, path, body=None, headers=None, ok=(200, 201, 202, 204)):
        t = time.monotonic()
        self.c.request(method, path, body=body, headers=headers or {})
        r = self.c.getresponse()
        data = r.read()
        self.longest = max(self.longest, time.monotonic() - t)
        if r.status not in ok:
            self.refused += 1
            raise RuntimeError(f"{method} {path}: {r.status} {data[:200]!r}")
        return r

    def push_blob(self, repo, data, chunks=1):
        r = self.req("POST", f"/v2/{repo}/blobs/uploads/", headers={"Content-Length": "0"})
        loc = r.getheader("Location")
        step = max(1, len(data) // chunks)
        for off in range(0, len(data), step):
            piece = data[off:off + step]
            r = self.req("PATCH", loc, body=piece,
                         headers={"Content-Type": "application/octet-stream",
                                  "Content-Length": str(len(piece))})
            loc = r.getheader("Location")
        digest = "sha256:" + hashlib.sha256(data).hexdigest()
        sep = "&" if "?" in loc else "?"
        self.req("PUT", f"{loc}{sep}digest={digest}", headers={"Content-Length": "0"})
        return digest

    def push_mono(self, repo, data):
        digest = "sha256:" + hashlib.sha256(data).hexdigest()
        self.req("POST", f"/v2/{repo}/blobs/uploads/?digest={digest}", body=data,
                 headers={"Content-Type": "application/octet-stream",
                          "Content-Length": str(len(data))})
        return digest

    def push_image(self, repo, tag, layers, seed):
        descs = []
        for k in range(layers):
            data = f"layer {seed} {k} ".encode() * 8
            descs.append({"mediaType": "application/vnd.oci.image.layer.v1.tar",
                          "digest": self.push_mono(repo, data), "size": len(data)})
        config = json.dumps({"seed": seed}).encode()
        manifest = json.dumps({
            "schemaVersion": 2, "mediaType": "application/vnd.oci.image.manifest.v1+json",
            "config": {"mediaType": "application/vnd.oci.image.config.v1+json",
                       "digest": self.push_mono(repo, config), "size": len(config)},
            "layers": descs}).encode()
        self.req("PUT", f"/v2/{repo}/manifests/{tag}", body=manifest,
                 headers={"Content-Type": "application/vnd.oci.image.manifest.v1+json",
                          "Content-Length": str(len(manifest))})


def big_push(c, mib):
    # Streamed from a generator in 1 MiB pieces, so the client holds no more than that.
    piece = os.urandom(1 << 20)
    h = hashlib.sha256()
    for _ in range(mib):
        h.update(piece)
    digest = "sha256:" + h.hexdigest()
    t = time.monotonic()
    r = c.req("POST", "/v2/bench/big/blobs/uploads/", headers={"Content-Length": "0"})
    loc = r.getheader("Location")
    r = c.req("PATCH", loc, body=(piece for _ in range(mib)),
              headers={"Content-Type": "application/octet-stream",
                       "Content-Length": str(mib << 20)})
    loc = r.getheader("Location")
    sep = "&" if "?" in loc else "?"
    c.req("PUT", f"{loc}{sep}digest={digest}", headers={"Content-Length": "0"})
    return {"seconds": time.monotonic() - t, "mib": mib}


def main():
    mode, addr = sys.argv[1], sys.argv[2]
    c = Client(addr)
    if mode == "big":
        out = big_push(c, int(sys.argv[3]))
    elif mode == "small":
        n = int(sys.argv[3])
        salt = os.urandom(8).hex()
        t = time.monotonic()
        for i in range(n):
            c.push_blob("bench/small", f"small blob {salt} {i}".encode())
        out = {"seconds": time.monotonic() - t, "blobs": n}
    elif mode == "images":
        n, layers = int(sys.argv[3]), int(sys.argv[4])
        salt = os.urandom(8).hex()
        t = time.monotonic()
        for i in range(n):
            c.push_image("bench/images", f"v{i}", layers, f"{salt}-{i}")
        out = {"seconds": time.monotonic() - t, "images": n}
    elif mode == "pusher":
        stop = sys.argv[3]
        salt = os.urandom(8).hex()
        n = failed = 0
        t = time.monotonic()
        while not os.path.exists(stop):
            try:
                c.push_image("bench/busy", f"v{n}", 2, f"{salt}-{n}")
            except RuntimeError as e:
                failed += 1
                print(e, file=sys.stderr)
                c = Client(addr) if c is None else c
            n += 1
        out = {"seconds": time.monotonic() - t, "pushes": n, "failed": failed,
               "refused_requests": c.refused, "longest_request_s": c.longest}
    else:
        sys.exit(f"unknown mode {mode}")
    print(json.dumps(out))


if __name__ == "__main__":
    main()
