"""examples/serve_http.py: the threaded JSON service answers concurrent clients as a direct search
does, and stays responsive while searches run."""

import json
import os
import sys
import threading
import urllib.error
import urllib.request

import numpy as np
import pytest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "examples"))

import quilane  # noqa: E402
import serve_http  # noqa: E402


@pytest.fixture
def service(tmp_path, rng):
    index = quilane.GyrelIndex(32, 4)
    index.add(rng.standard_normal((3000, 32)).astype(np.float32))
    path = str(tmp_path / "served.qlix")
    index.write(path)
    service = serve_http.open_service(path, 0)
    thread = threading.Thread(target=service.serve_forever, daemon=True)
    thread.start()
    yield service
    service.shutdown()
    service.server_close()
    thread.join(timeout=30)


def get(port, path):
    with urllib.request.urlopen(f"http://127.0.0.1:{port}{path}", timeout=60) as response:
        return json.loads(response.read())


def test_concurrent_clients_get_what_a_direct_search_gives(service, rng):
    port = service.server_address[1]
    queries = rng.standard_normal((24, 32)).astype(np.float32)
    expected_scores, expected_positions = service.index.search(queries, 7)
    answers = [None] * 8
    health = []

    def client(c):
        # Three queries per request; health checks in between.
        rows = queries[3 * c : 3 * c + 3]
        answers[c] = serve_http.post_search(port, rows.tolist(), 7)
        health.append(get(port, "/health"))

    threads = [threading.Thread(target=client, args=(c,)) for c in range(8)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(timeout=120)
        assert not thread.is_alive()
    positions = np.concatenate([np.array(a["positions"]) for a in answers])
    scores = np.concatenate([np.array(a["scores"], dtype=np.float32) for a in answers])
    np.testing.assert_array_equal(positions, expected_positions)
    np.testing.assert_array_equal(scores, expected_scores)
    assert health == [{"status": "ok", "vectors": 3000}] * 8


@pytest.mark.parametrize(
    "body, message",
    [
        ([1, 2], "the request must be a JSON object"),
        ({"vectors": [[1.0, 2.0]], "k": 3}, "vectors must be a list of rows of 32 numbers"),
        ({"vectors": [[0.0] * 32], "k": 0}, "k must be an integer from 1 to 1000"),
        ({"k": 3}, "'vectors'"),
    ],
)
def test_bad_requests_are_refused_with_400(service, body, message):
    port = service.server_address[1]
    request = urllib.request.Request(
        f"http://127.0.0.1:{port}/search", data=json.dumps(body).encode()
    )
    with pytest.raises(urllib.error.HTTPError) as error:
        urllib.request.urlopen(request, timeout=60)
    assert error.value.code == 400
    assert json.loads(error.value.read()) == {"error": message}
