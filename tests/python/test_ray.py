"""quilane.ray: an IdMapIndex sharded over Ray actors, on a local Ray instance."""

import json
import os
import re
import subprocess
import sys
import time

import numpy as np
import pytest

import quilane
from helpers import run_python

README = os.path.join(os.path.dirname(__file__), "..", "..", "README.md")
NO_ID = np.uint64(2**64 - 1)


def descendants(pid):
    """Processes whose chain of parents leads to pid."""
    parents = {}
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open(f"/proc/{entry}/stat") as stat:
                    # The command name in parentheses may hold spaces; the parent follows it.
                    parents[int(entry)] = int(stat.read().rsplit(")", 1)[1].split()[1])
            except (OSError, IndexError, ValueError):
                pass
    found = set()
    for child in parents:
        ancestor = parents.get(child)
        while ancestor is not None and ancestor not in found and ancestor != pid:
            ancestor = parents.get(ancestor)
        if ancestor is not None:
            found.add(child)
    return found


@pytest.fixture(scope="module")
def ray():
    if "libasan" in os.environ.get("LD_PRELOAD", ""):
        pytest.skip("Ray's own processes would inherit the preloaded sanitizer runtime")
    ray = pytest.importorskip("ray")
    ray.init(
        num_cpus=2,
        include_dashboard=False,
        object_store_memory=200 * 2**20,
        log_to_driver=False,
        _node_ip_address="127.0.0.1",
    )
    yield ray
    ray.shutdown()
    deadline = time.monotonic() + 20
    while descendants(os.getpid()) and time.monotonic() < deadline:
        time.sleep(0.2)
    assert not descendants(os.getpid()), "Ray processes outlived ray.shutdown()"


@pytest.fixture(scope="module")
def sharded(ray):
    import quilane.ray

    return quilane.ray


def tied_collection(rng, dim=16):
    """Vectors of which many are stored several times under ids of different shards, so that
    equal scores meet across shards."""
    base = rng.standard_normal((400, dim)).astype(np.float32)
    vectors = np.concatenate([base, np.repeat(base[:60], 3, axis=0)])
    ids = rng.permutation(np.arange(10**12, 10**12 + 4 * len(vectors), 4, dtype=np.uint64))
    return vectors, ids


def assert_same_answer(got, want, score_of):
    """Scores bit for bit; ids up to the order of equal scores, which go by ascending id."""
    scores, ids = got
    np.testing.assert_array_equal(scores, want[0])
    assert ids.dtype == np.uint64 and ids.shape == want[1].shape
    for row_scores, row_ids, row in zip(scores, ids, range(len(ids))):
        assert len(set(row_ids.tolist())) == len(row_ids)
        assert [score_of[row][i] for i in row_ids.tolist()] == row_scores.tolist()
        for a, b, sa, sb in zip(row_ids[:-1], row_ids[1:], row_scores[:-1], row_scores[1:]):
            assert sa != sb or a < b


@pytest.fixture(scope="module")
def collection(sharded):
    rng = np.random.default_rng(14)
    vectors, ids = tied_collection(rng)
    queries = np.concatenate([vectors[:5], rng.standard_normal((15, 16)).astype(np.float32)])
    one = quilane.IdMapIndex(16, 2)
    one.add_with_ids(vectors, ids)
    index = sharded.ShardedIndex(16, 2, num_shards=3)
    index.add_with_ids(vectors[:300], ids[:300])
    index.add_with_ids(vectors[300:], ids[300:])
    every_scores, every_ids = one.search(queries, len(one))
    score_of = [dict(zip(i.tolist(), s.tolist())) for s, i in zip(every_scores, every_ids)]
    return index, one, queries, score_of, ids


class TestShardOf:
    def test_the_hash_is_splitmix64_mod_the_shard_count(self, sharded):
        def splitmix64(x):
            mask = 2**64 - 1
            z = (x + 0x9E3779B97F4A7C15) & mask
            z = ((z ^ (z >> 30)) * 0xBF58476D1CE4E5B9) & mask
            z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) & mask
            return z ^ (z >> 31)

        ids = [0, 1, 2, 41, 2**32, 2**63, 2**64 - 1] + list(range(1000, 1100))
        for shards in (1, 2, 3, 7, 64):
            owners = sharded.shard_of(np.array(ids, dtype=np.uint64), shards)
            assert owners.tolist() == [splitmix64(i) % shards for i in ids]
        # Saved shards depend on these exact values.
        assert splitmix64(0) == 0xE220A8397B1DCDAF
        fixed = sharded.shard_of(np.array([0, 1, 2, 3, 2**64 - 1], dtype=np.uint64), 7)
        assert fixed.tolist() == [2, 2, 4, 2, 0]
        assert sharded.shard_of(np.arange(10, dtype=np.uint64), 4).tolist() == [
            3, 1, 2, 1, 2, 2, 0, 3, 2, 0
        ]
        with pytest.raises(ValueError, match="num_shards must be at least 1"):
            sharded.shard_of(np.arange(3, dtype=np.uint64), 0)

    def test_consecutive_ids_spread_evenly(self, sharded):
        counts = np.bincount(sharded.shard_of(np.arange(40_000, dtype=np.uint64), 4))
        assert counts.min() > 9_600 and counts.max() < 10_400


class TestSearchEqualsOneIndex:
    @pytest.mark.parametrize("k", [1, 10, 100])
    def test_scores_and_ids_with_ties_across_shards(self, sharded, collection, k):
        index, one, queries, score_of, ids = collection
        owners = sharded.shard_of(ids[400:], 3).reshape(60, 3)  # one row per repeated vector
        assert (owners != owners[:, :1]).any(axis=1).sum() > 30
        assert_same_answer(index.search(queries, k), one.search(queries, k), score_of)

    def test_k_beyond_the_collection_and_zero_rows(self, collection):
        index, one, queries, score_of, _ = collection
        assert_same_answer(index.search(queries[:2], 10**6), one.search(queries[:2], 10**6),
                           score_of)
        scores, found = index.search(queries[:0], 7)
        assert scores.shape == found.shape == (0, 7)
        assert (scores.dtype, found.dtype) == (np.float32, np.uint64)

    def test_empty_index_and_empty_shards(self, sharded):
        index = sharded.ShardedIndex(16, 2, num_shards=2)
        queries = np.ones((2, 16), dtype=np.float32)
        scores, found = index.search(queries, 4)
        assert found.shape == (2, 1) and (found == NO_ID).all() and (scores == -np.inf).all()
        # One stored vector scoring NaN: the empty shard's placeholder must not displace it.
        nan_vector = np.full((1, 16), np.nan, dtype=np.float32)
        index.add_with_ids(nan_vector, np.array([5], dtype=np.uint64))
        scores, found = index.search(queries, 4)
        assert found.tolist() == [[5], [5]] and np.isnan(scores).all()
        assert (len(index), 5 in index, index.contains(6)) == (1, True, False)
        index.shutdown()
        with pytest.raises(RuntimeError, match="shut down"):
            index.search(queries, 1)

    def test_nan_scores_rank_last(self, sharded):
        rng = np.random.default_rng(3)
        vectors = rng.standard_normal((40, 16)).astype(np.float32)
        vectors[::7] = np.nan
        ids = np.arange(40, dtype=np.uint64)
        index = sharded.ShardedIndex(16, 2, num_shards=2)
        index.add_with_ids(vectors, ids)
        one = quilane.IdMapIndex(16, 2)
        one.add_with_ids(vectors, ids)
        queries = rng.standard_normal((3, 16)).astype(np.float32)
        scores, found = index.search(queries, 40)
        np.testing.assert_array_equal(scores, one.search(queries, 40)[0])
        assert sorted(found[:, -6:].ravel().tolist()) == sorted(list(range(0, 40, 7)) * 3)
        index.shutdown()


def error_of(call):
    try:
        call()
    except BaseException as error:  # noqa: BLE001 - PanicException derives from BaseException
        return type(error), str(error)
    return None


class TestArgumentsAsOneIndex:
    def test_add_with_ids(self, collection):
        index, one, *_ = collection
        good_ids = np.array([1, 2], dtype=np.uint64)
        vectors = np.ones((2, 16), dtype=np.float32)
        cases = [
            ([[0.0] * 32] * 2, good_ids),
            (vectors.astype(np.float64), good_ids),
            (vectors, good_ids.astype(np.int64)),
            (vectors, good_ids.reshape(1, 2)),
            (np.ones((16, 2), dtype=np.float32).T, good_ids),
            (vectors, np.arange(4, dtype=np.uint64)[::2]),
            (np.ones((2, 12), dtype=np.float32), good_ids),
            (vectors, np.arange(3, dtype=np.uint64)),
            (np.ones((2, 8), dtype=np.float32), good_ids),
        ]
        before = len(index)
        for bad_vectors, bad_ids in cases:
            want = error_of(lambda: one.add_with_ids(bad_vectors, bad_ids))
            assert want is not None
            assert error_of(lambda: index.add_with_ids(bad_vectors, bad_ids)) == want
        assert len(index) == before

    def test_search_contains_and_remove_many(self, collection):
        index, one, queries, *_ = collection
        for bad_queries, k in [
            (queries.astype(np.float64), 3), (queries, -1), (queries, 2.0), (queries, 2**64),
            (np.ones((3, 12), dtype=np.float32), 3),
            (np.asfortranarray(queries), 3),
        ]:
            want = error_of(lambda: one.search(bad_queries, k))
            assert want is not None
            assert error_of(lambda: index.search(bad_queries, k)) == want
        with pytest.raises(ValueError, match="queries have 32 columns, the index dim 16"):
            index.search(np.ones((2, 32), dtype=np.float32), 3)
        for bad_id in ["7", -1, 2**64, 1.5]:
            assert error_of(lambda: index.contains(bad_id)) == error_of(lambda: one.contains(bad_id))
            assert error_of(lambda: bad_id in index) == error_of(lambda: bad_id in one)
        for bad_ids, error in [([1, 2], TypeError), (np.arange(6, dtype=np.uint64)[::2], ValueError)]:
            with pytest.raises(error):
                index.remove_many(bad_ids)


class TestAllOrNothing:
    def test_refused_batches_leave_every_shard_unchanged(self, sharded, collection):
        index, one, queries, _, ids = collection
        fresh = np.arange(7, 7 + 9, dtype=np.uint64)
        stored = ids[123]
        batches = [
            np.concatenate([fresh, [stored]]),  # present, after new ids of every shard
            np.array([50, 51, 50, stored], dtype=np.uint64),  # a repeat before a present id
            np.array([stored, 60, 60], dtype=np.uint64),  # a present id before a repeat
            np.array([70, 71, 71, 70], dtype=np.uint64),
        ]
        before = index.search(queries, 10)
        length = len(index)
        for batch in batches:
            vectors = np.ones((len(batch), 16), dtype=np.float32)
            want = error_of(lambda: one.add_with_ids(vectors, batch))
            assert want is not None and want[0] is quilane.PanicException
            assert error_of(lambda: index.add_with_ids(vectors, batch)) == want
            assert not any(int(i) in index for i in batch if i != stored)
        assert len(index) == length
        np.testing.assert_array_equal(index.search(queries, 10)[1], before[1])


    def test_a_shard_refusing_late_takes_the_batch_out_of_the_others(self, collection,
                                                                      monkeypatch):
        # As if another writer stored an id between the check and the store: the check sees
        # nothing, the owning shard refuses, and the shards that stored their part undo it.
        index, *_, ids = collection
        check = index._call_all

        def blind(method, arguments):
            if method == "present":
                return [np.zeros(len(part), dtype=bool) for (part,) in arguments]
            return check(method, arguments)

        monkeypatch.setattr(index, "_call_all", blind)
        batch = np.concatenate([np.arange(500, 530, dtype=np.uint64), ids[7:8]])
        length = len(index)
        with pytest.raises(quilane.PanicException, match=f"^id {ids[7]} already present"):
            index.add_with_ids(np.ones((len(batch), 16), dtype=np.float32), batch)
        assert len(index) == length
        assert not any(int(i) in index for i in batch[:-1])


class TestChanges:
    def test_remove_many_and_add_again(self, sharded):
        rng = np.random.default_rng(8)
        vectors = rng.standard_normal((200, 16)).astype(np.float32)
        ids = np.arange(1000, 1200, dtype=np.uint64)
        index = sharded.ShardedIndex(16, 2, num_shards=2)
        index.add_with_ids(vectors, ids)
        gone = np.array([1000, 1001, 1001, 1150, 99], dtype=np.uint64)
        assert index.remove_many(gone) == 3
        assert index.remove_many(gone) == 0
        assert len(index) == 197 and 1001 not in index and 1002 in index
        _, found = index.search(vectors, 200)
        assert not np.isin(found, gone).any()
        index.add_with_ids(vectors[:1], np.array([1001], dtype=np.uint64))
        assert 1001 in index and len(index) == 198
        index.shutdown()


class TestSaveLoadAndFaults:
    def test_save_load_and_a_killed_shard(self, ray, sharded, collection, tmp_path):
        index, one, queries, score_of, _ = collection
        directory = str(tmp_path / "catalogue")
        index.save(directory)
        manifest = json.load(open(os.path.join(directory, "manifest.json")))
        assert {key: manifest[key] for key in ("dim", "bits", "rotation", "num_shards", "hash")} \
            == {"dim": 16, "bits": 2, "rotation": "rotor3", "num_shards": 3,
                "hash": "splitmix64-mod"}
        first_files = set(os.listdir(directory))
        index.save(directory)  # a second save replaces the first one's shard files
        assert len(set(os.listdir(directory)) & first_files) == 1
        assert len(os.listdir(directory)) == 4

        loaded = sharded.ShardedIndex.load(directory, actor_options={"num_cpus": 0})
        assert (loaded.dim, loaded.bits, loaded.rotation, loaded.num_shards) == (16, 2, "rotor3", 3)
        want = one.search(queries, 10)
        assert_same_answer(loaded.search(queries, 10), want, score_of)

        extra = np.array([3], dtype=np.uint64)
        loaded.add_with_ids(np.ones((1, 16), dtype=np.float32), extra)
        owner = int(sharded.shard_of(extra, 3)[0])
        victim = loaded.shard_actors[owner]
        ray.kill(victim, no_restart=False)
        # The restarted shard reloads its file: the unsaved id is gone, the rest answers as before.
        # The kill lands when Ray gets to it, and until then the old shard may still answer.
        deadline = time.monotonic() + 60
        while 3 in loaded and time.monotonic() < deadline:
            time.sleep(0.05)
        assert 3 not in loaded and len(loaded) == len(one)
        assert_same_answer(loaded.search(queries, 10), want, score_of)
        loaded.shutdown()

    def test_bad_directories(self, sharded, collection, tmp_path):
        with pytest.raises(FileNotFoundError):
            sharded.ShardedIndex.load(str(tmp_path / "missing"))
        (tmp_path / "manifest.json").write_text('{"format": "something else"}')
        with pytest.raises(OSError, match="not a sharded index manifest"):
            sharded.ShardedIndex.load(str(tmp_path))
        collection[0].save(str(tmp_path / "saved"))
        manifest_path = tmp_path / "saved" / "manifest.json"
        manifest = json.loads(manifest_path.read_text())
        os.unlink(tmp_path / "saved" / manifest["shards"][1])
        with pytest.raises(OSError, match="No such file"):
            sharded.ShardedIndex.load(str(tmp_path / "saved"))
        manifest_path.write_text(json.dumps(dict(manifest, bits=5)))
        with pytest.raises(OSError, match="invalid index parameters"):
            sharded.ShardedIndex.load(str(tmp_path / "saved"))


class TestInstallation:
    def test_importing_quilane_never_imports_ray(self):
        done = run_python("import sys, quilane; assert 'ray' not in sys.modules; print('ok')")
        assert done.returncode == 0 and done.stdout.strip() == "ok", done.stderr

    def test_without_ray_the_import_error_says_how_to_install_it(self):
        done = run_python(
            """
            import sys
            sys.modules["ray"] = None  # as if Ray were not installed
            try:
                import quilane.ray
            except ImportError as error:
                print(error)
            """
        )
        assert done.returncode == 0, done.stderr
        assert 'pip install "quilane[ray]"' in done.stdout

    def test_readme_example_runs_as_written(self, ray, tmp_path):
        text = open(README, encoding="utf-8").read()
        section = text.split("## More than one machine", 1)[1]
        code = re.search(r"```python\n(.*?)```", section, re.S).group(1)
        assert len(code.strip().splitlines()) <= 10
        # ray.init() joins the Ray that RAY_ADDRESS names: this module's, which is quicker than
        # starting another.
        address = ray.get_runtime_context().gcs_address
        done = subprocess.run(
            [sys.executable, "-c", code], cwd=tmp_path, capture_output=True, text=True,
            timeout=300, env=dict(os.environ, RAY_ADDRESS=address),
        )
        assert done.returncode == 0, done.stderr
        assert done.stdout.strip().endswith("True"), done.stdout
