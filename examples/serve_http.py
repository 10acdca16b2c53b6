"""A small JSON search service on the standard library's threaded HTTP server.

    python examples/build_and_save.py --out vectors.qlix
    python examples/serve_http.py --index vectors.qlix [--port 8000] [--threads 2]
    curl -s localhost:8000/search -d '{"vectors": [[0.1, 0.2, ...]], "k": 5}'
    curl -s localhost:8000/health

Each request runs on its own thread. Searches run with ``release_gil=True``: while one thread
scans, the others parse requests, answer ``/health`` and start their own searches, which share
the index. ``--threads`` bounds the engine's threads per search (``quilane.set_num_threads``):
with many concurrent requests, one or two threads per search keeps the processors from being
oversubscribed. The index is loaded and its caches are built before the first request.
``--smoke N`` starts the service on a free port, sends N concurrent requests and stops.
"""

from __future__ import annotations

import argparse
import json
import threading
import urllib.request
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from typing import Any

import numpy as np
import numpy.typing as npt

import quilane


class SearchService(ThreadingHTTPServer):
    """The HTTP server and the index it serves."""

    daemon_threads = True

    def __init__(self, address: tuple[str, int], index: quilane.GyrelIndex) -> None:
        super().__init__(address, SearchHandler)
        self.index = index


class SearchHandler(BaseHTTPRequestHandler):
    server: SearchService

    def do_GET(self) -> None:
        if self.path == "/health":
            self.reply(200, {"status": "ok", "vectors": len(self.server.index)})
        else:
            self.reply(404, {"error": f"no such path: {self.path}"})

    def do_POST(self) -> None:
        if self.path != "/search":
            self.reply(404, {"error": f"no such path: {self.path}"})
            return
        try:
            length = int(self.headers.get("Content-Length", "0"))
            request = json.loads(self.rfile.read(length))
            queries, k = parse_search(request, self.server.index.dim)
        except (ValueError, KeyError, TypeError) as error:
            self.reply(400, {"error": str(error)})
            return
        scores, positions = self.server.index.search(queries, k, release_gil=True)
        self.reply(200, {"scores": scores.tolist(), "positions": positions.tolist()})

    def reply(self, status: int, body: dict[str, Any]) -> None:
        data = json.dumps(body).encode()
        self.send_response(status)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        self.wfile.write(data)

    def log_message(self, format: str, *args: Any) -> None:  # noqa: A002 - the base's name
        pass


def parse_search(request: Any, dim: int) -> tuple[npt.NDArray[np.float32], int]:
    """The query rows (a C-contiguous float32 array of shape (nq, dim)) and k of a request."""
    if not isinstance(request, dict):
        raise ValueError("the request must be a JSON object")
    queries = np.ascontiguousarray(request["vectors"], dtype=np.float32)
    if queries.ndim != 2 or queries.shape[1] != dim:
        raise ValueError(f"vectors must be a list of rows of {dim} numbers")
    k = request.get("k", 10)
    if not isinstance(k, int) or isinstance(k, bool) or not 1 <= k <= 1000:
        raise ValueError("k must be an integer from 1 to 1000")
    return queries, k


def open_service(path: str, port: int, host: str = "127.0.0.1") -> SearchService:
    """Loads the index, builds its caches (so that no request pays for them) and binds."""
    index = quilane.GyrelIndex.load(path, release_gil=True)
    index.prepare(release_gil=True)
    return SearchService((host, port), index)


def post_search(port: int, vectors: list[list[float]], k: int) -> dict[str, Any]:
    request = urllib.request.Request(
        f"http://127.0.0.1:{port}/search",
        data=json.dumps({"vectors": vectors, "k": k}).encode(),
        headers={"Content-Type": "application/json"},
    )
    with urllib.request.urlopen(request, timeout=60) as response:
        result: dict[str, Any] = json.loads(response.read())
        return result


def smoke(service: SearchService, requests: int) -> None:
    """Serves in the background while `requests` client threads each ask one query."""
    server = threading.Thread(target=service.serve_forever, daemon=True)
    server.start()
    port = service.server_address[1]
    rng = np.random.default_rng(0)
    queries = rng.standard_normal((requests, service.index.dim)).astype(np.float32)
    answers: list[dict[str, Any]] = [{} for _ in range(requests)]

    def ask(i: int) -> None:
        answers[i] = post_search(port, queries[i : i + 1].tolist(), 5)

    clients = [threading.Thread(target=ask, args=(i,)) for i in range(requests)]
    for client in clients:
        client.start()
    for client in clients:
        client.join()
    service.shutdown()
    expected = service.index.search(queries, 5)[1]
    agreed = sum(answers[i]["positions"] == [expected[i].tolist()] for i in range(requests))
    print(f"{agreed} of {requests} concurrent answers equal a direct search")
    if agreed != requests:
        raise SystemExit(1)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--index", default="vectors.qlix", help="file from build_and_save.py")
    parser.add_argument("--port", type=int, default=8000)
    parser.add_argument("--threads", type=int, default=None, help="engine threads per search")
    parser.add_argument("--smoke", type=int, default=0, metavar="N")
    args = parser.parse_args(argv)
    if args.threads is not None:
        quilane.set_num_threads(args.threads)
    service = open_service(args.index, 0 if args.smoke else args.port)
    if args.smoke:
        smoke(service, args.smoke)
        return 0
    print(f"serving {len(service.index)} vectors on http://127.0.0.1:{args.port}")
    try:
        service.serve_forever()
    except KeyboardInterrupt:
        pass
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
