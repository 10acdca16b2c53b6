"""The helpers of examples/ that users copy: sharded search, upserts, the real-data pipeline."""

import math
import os
import sys

import numpy as np
import pytest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "examples"))

import build_and_save  # noqa: E402
import id_map_updates  # noqa: E402
import quilane  # noqa: E402
import real_embeddings  # noqa: E402
import sharding  # noqa: E402


def unit_rows(rng, n, dim):
    rows = rng.standard_normal((n, dim)).astype(np.float32)
    return rows / np.linalg.norm(rows, axis=1, keepdims=True)


class TestSharding:
    def test_merged_answer_equals_one_index_over_everything(self, rng):
        vectors = rng.standard_normal((700, 32)).astype(np.float32)
        ids = np.arange(50, 750, dtype=np.uint64)
        queries = rng.standard_normal((20, 32)).astype(np.float32)
        shards = sharding.build_shards(vectors, ids, shards=3, batch=128)
        whole = quilane.IdMapIndex(32, 4)
        whole.add_with_ids(vectors, ids)

        scores, found = sharding.search_shards(shards, queries, 10)
        whole_scores, whole_ids = whole.search(queries, 10)
        np.testing.assert_array_equal(scores, whole_scores)
        # Equal scores may be ordered differently; each row must name the same set of ids.
        assert [set(row) for row in found] == [set(row) for row in whole_ids]

    def test_empty_and_small_shards_never_leak_placeholders(self, rng):
        vectors = rng.standard_normal((5, 16)).astype(np.float32)
        ids = np.array([0, 2, 4, 6, 8], dtype=np.uint64)  # all even: shard 1 of 2 stays empty
        shards = sharding.build_shards(vectors, ids, shards=2)
        assert [len(index) for index in shards] == [5, 0]

        scores, found = sharding.search_shards(shards, vectors[:3], k=10)
        assert found.shape == (3, 5)
        assert np.isfinite(scores).all()
        assert set(found.ravel()) <= set(ids)

    def test_nothing_stored_answers_like_an_empty_index(self, rng):
        shards = [quilane.IdMapIndex(16, 2) for _ in range(3)]
        scores, found = sharding.search_shards(shards, unit_rows(rng, 2, 16), k=4)
        assert found.shape == (2, 1)
        assert (scores == -np.inf).all() and (found == np.uint64(2**64 - 1)).all()


class TestIdMapUpdates:
    def test_upsert_replaces_stored_ids_and_adds_new_ones(self, rng):
        index = quilane.IdMapIndex(32, 4)
        index.add_with_ids(unit_rows(rng, 4, 32), np.array([1, 2, 3, 4], dtype=np.uint64))
        fresh = unit_rows(rng, 2, 32)
        replaced = id_map_updates.upsert(index, fresh, np.array([4, 9], dtype=np.uint64))
        assert replaced == 1
        assert len(index) == 5
        _, best = index.search(fresh, 1)
        assert best[:, 0].tolist() == [4, 9]

    def test_upsert_refuses_a_repeated_id_before_changing_anything(self, rng):
        index = quilane.IdMapIndex(16, 4)
        index.add_with_ids(unit_rows(rng, 2, 16), np.array([7, 8], dtype=np.uint64))
        with pytest.raises(ValueError, match="more than once"):
            id_map_updates.upsert(index, unit_rows(rng, 2, 16), np.array([7, 7], dtype=np.uint64))
        assert len(index) == 2 and 7 in index

    def test_delete_counts_only_stored_ids(self, rng):
        index = quilane.IdMapIndex(16, 4)
        index.add_with_ids(unit_rows(rng, 3, 16), np.array([1, 2, 3], dtype=np.uint64))
        assert id_map_updates.delete(index, np.array([2, 5, 2], dtype=np.uint64)) == 1
        assert len(index) == 2 and 2 not in index


def test_build_and_save_writes_a_file_that_loads_back(tmp_path):
    path = str(tmp_path / "vectors.qlix")
    assert build_and_save.main(["--out", path, "--n", "300", "--dim", "24", "--bits", "3"]) == 0
    loaded = quilane.GyrelIndex.load(path)
    assert (len(loaded), loaded.dim, loaded.bits) == (300, 24, 3)
    assert os.path.getsize(path) == 23 + 300 * (3 * 24 // 8 + 4)


class TestFortunes:
    def test_texts_are_split_cleaned_and_deduplicated(self, tmp_path):
        (tmp_path / "wisdom").write_text(
            "Look  before\nyou leap.\n%\n\n%\nB\bBo\bol\bld words.\n"
            "%\nLook before you leap.\n%   \nLast"
        )
        (tmp_path / "wisdom.dat").write_bytes(b"\x00\x01binary index")
        (tmp_path / "wisdom.u8").symlink_to(tmp_path / "wisdom")
        (tmp_path / "ascii-art").write_text("  /\\_/\\\n ( o.o )\n")
        assert real_embeddings.read_fortunes(tmp_path) == [
            "Look before you leap.",
            "Bold words.",
            "Last",
        ]

    def test_a_missing_collection_says_what_to_install(self, tmp_path):
        with pytest.raises(FileNotFoundError, match="fortunes package"):
            real_embeddings.read_fortunes(tmp_path / "absent")


class TestSentenceModel:
    @staticmethod
    def tiny_model(rng, hidden=16, heads=2, layers=2, vocabulary=50):
        shapes = {
            "embeddings.word_embeddings.weight": (vocabulary, hidden),
            "embeddings.position_embeddings.weight": (32, hidden),
            "embeddings.token_type_embeddings.weight": (2, hidden),
            "embeddings.LayerNorm.weight": (hidden,),
            "embeddings.LayerNorm.bias": (hidden,),
        }
        for layer in range(layers):
            prefix = f"encoder.layer.{layer}."
            for name in ("query", "key", "value"):
                shapes[prefix + f"attention.self.{name}.weight"] = (hidden, hidden)
                shapes[prefix + f"attention.self.{name}.bias"] = (hidden,)
            shapes[prefix + "attention.output.dense.weight"] = (hidden, hidden)
            shapes[prefix + "attention.output.dense.bias"] = (hidden,)
            shapes[prefix + "intermediate.dense.weight"] = (4 * hidden, hidden)
            shapes[prefix + "intermediate.dense.bias"] = (4 * hidden,)
            shapes[prefix + "output.dense.weight"] = (hidden, 4 * hidden)
            shapes[prefix + "output.dense.bias"] = (hidden,)
            for norm in ("attention.output.LayerNorm", "output.LayerNorm"):
                shapes[prefix + norm + ".weight"] = (hidden,)
                shapes[prefix + norm + ".bias"] = (hidden,)
        weights = {
            name: rng.standard_normal(shape).astype(np.float32) for name, shape in shapes.items()
        }
        return real_embeddings.SentenceModel(weights, heads=heads, eps=1e-12)

    def test_padding_does_not_change_an_embedding(self, rng):
        model = self.tiny_model(rng)
        token_ids = [[1, 7, 9, 2], [1, 5, 6, 8, 11, 30, 2], [1, 2]]
        alone = np.vstack(
            [
                model.embed(np.array([ids]), np.ones((1, len(ids)), dtype=np.int64))
                for ids in token_ids
            ]
        )
        together = np.empty_like(alone)
        for rows, ids, mask in real_embeddings.padded_batches(token_ids, size=3):
            assert ids.shape == (3, 7) and mask.sum() == sum(map(len, token_ids))
            together[rows] = model.embed(ids, mask)
        np.testing.assert_allclose(together, alone, atol=2e-6)
        np.testing.assert_allclose(np.linalg.norm(together, axis=1), 1.0, atol=1e-6)

    def test_batches_cover_every_text_once_within_the_token_budget(self):
        token_ids = [[1] * length for length in (5, 1, 9, 3, 3, 7, 2, 30)]
        batches = list(real_embeddings.padded_batches(token_ids, size=3, max_tokens=16))
        seen = np.concatenate([rows for rows, _, _ in batches])
        assert sorted(seen.tolist()) == list(range(len(token_ids)))
        for rows, ids, mask in batches:
            assert len(rows) <= 3 and (ids.size <= 16 or len(rows) == 1)
            assert mask.sum(axis=1).tolist() == [len(token_ids[row]) for row in rows]

    def test_erf_is_accurate_to_a_few_float32_units(self):
        x = np.linspace(-6, 6, 4001, dtype=np.float32)
        expected = np.array([math.erf(float(value)) for value in x])
        assert np.abs(real_embeddings.erf(x) - expected).max() < 5e-7


class TestEmbeddingCache:
    @pytest.fixture
    def model_dir(self, tmp_path):
        directory = tmp_path / "model"
        directory.mkdir()
        for name in ("model.safetensors", "tokenizer.json", "config.json"):
            (directory / name).write_text(name)
        return directory

    def test_second_run_reads_the_cache_and_new_texts_miss_it(
        self, model_dir, tmp_path, monkeypatch
    ):
        calls = []

        def fake_embed(directory, texts):
            calls.append(list(texts))
            return np.full((len(texts), 8), len(calls), dtype=np.float32)

        monkeypatch.setattr(real_embeddings, "embed_texts", fake_embed)
        cache = tmp_path / "cache"
        first = real_embeddings.cached_embeddings(["a", "b"], model_dir, cache)
        again = real_embeddings.cached_embeddings(["a", "b"], model_dir, cache)
        other = real_embeddings.cached_embeddings(["a", "c"], model_dir, cache)
        assert len(calls) == 2
        np.testing.assert_array_equal(first, again)
        assert other[0, 0] == 2
        assert sorted(path.suffix for path in cache.iterdir()) == [".npy", ".npy"]

    def test_a_changed_model_file_misses_the_cache(self, model_dir):
        before = real_embeddings.cache_key(["a"], model_dir)
        (model_dir / "model.safetensors").write_text("other weights")
        assert real_embeddings.cache_key(["a"], model_dir) != before
        # Texts are separated in the key: ["ab"] and ["a", "b"] are different corpora.
        assert real_embeddings.cache_key(["ab"], model_dir) != real_embeddings.cache_key(
            ["a", "b"], model_dir
        )


def test_recall_counts_shared_positions_per_row():
    exact = np.array([[1, 2, 3], [4, 5, 6]])
    found = np.array([[3, 2, 9], [6, 5, 4]])
    assert real_embeddings.recall_at_k(found, exact) == pytest.approx(5 / 6)


def readme_python_blocks():
    """Every Python code block of the README, with the heading of the section it stands in."""
    readme = open(os.path.join(os.path.dirname(__file__), "..", "..", "README.md")).read()
    blocks = []
    heading = ""
    for number, piece in enumerate(readme.split("```")):
        if number % 2 == 0:
            headings = [line for line in piece.splitlines() if line.startswith("#")]
            heading = headings[-1].lstrip("# ") if headings else heading
        elif piece.startswith("python\n") and "quilane.ray" not in piece:
            # The Ray example runs in test_ray.py, which owns the Ray instance.
            blocks.append(pytest.param(piece.removeprefix("python\n"), id=heading))
    return blocks


@pytest.mark.parametrize("code", readme_python_blocks())
def test_readme_code_runs_as_written(code, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    exec(compile(code, "README", "exec"), {})


def test_readme_quick_start_is_ten_lines_and_prints_true(tmp_path, monkeypatch, capsys):
    readme = open(os.path.join(os.path.dirname(__file__), "..", "..", "README.md")).read()
    section = readme.split("## Quick start", 1)[1]
    code = section.split("```python\n", 1)[1].split("```", 1)[0]
    assert len(code.strip().splitlines()) <= 10
    monkeypatch.chdir(tmp_path)
    exec(compile(code, "README quick start", "exec"), {})
    assert capsys.readouterr().out == "True\n"
