"""parse_arrow's identity columns of common shapes (block and frame index,
the absent frame, the loop id) are kept per thread and shared by the batches
of later calls: every batch must read as if it had its own, before and after
the keeping thread lets go of them."""

import gc
import threading

import pyarrow as pa
import pytest

import quarzel_core as q

IDENTITY = ["_quarzel_block_idx", "_block_name", "_frame_idx", "_frame_name", "_loop_id"]


def document(blocks, frames, loop_rows):
    """`blocks` blocks, each with one scalar, loops of `loop_rows` rows and
    `frames` save frames holding the same."""
    body = "".join(f"loop_ _l{n}.v " + " ".join(f"{n}-{i}" for i in range(rows)) + "\n"
                   for n, rows in enumerate(loop_rows))
    frame = "".join(f"save_f{k}\n_s.t {k}\n{body}save_\n" for k in range(frames))
    return "".join(f"data_b{b}\n_x.y {b}\n{body}{frame}" for b in range(blocks))


def expected_identity(blocks, frames, loop_rows):
    """The identity columns of `document`'s batches, in batch order."""
    out = []
    for b in range(blocks):
        for frame in [None] + list(range(frames)):
            name = None if frame is None else f"f{frame}"
            for loop, rows in [("__scalars__", 1)] + [
                    (f"__loop_{n}__", r) for n, r in enumerate(loop_rows)]:
                out.append([[b] * rows, [f"b{b}"] * rows, [frame] * rows, [name] * rows,
                            [loop] * rows])
    return out


def identity_of(batches):
    return [[batch.column(name).to_pylist() for name in IDENTITY] for batch in batches]


def check(batch):
    """Types, null counts and validity bitmaps as a batch of its own has them."""
    assert batch.schema.field("_quarzel_block_idx").type == pa.int32()
    assert batch.schema.field("_frame_idx").type == pa.int32()
    for name in IDENTITY:
        column = batch.column(name)
        column.validate(full=True)
        nulls = column.null_count
        assert nulls in (0, len(column))
        assert (column.buffers()[0] is None) == (nulls == 0)


SHAPES = [
    pytest.param(1, 0, [3, 7], id="one-block"),
    pytest.param(3, 0, [2, 2, 2], id="blocks-equal-loops"),
    pytest.param(1, 4, [5], id="save-frames"),
    pytest.param(2, 2, [1024, 1], id="longest-kept"),
    pytest.param(1, 1, [1025, 4000], id="too-long-to-keep"),
    pytest.param(1, 0, [1] * 12, id="many-loops"),
]


@pytest.mark.parametrize("blocks,frames,loop_rows", SHAPES)
def test_identity_columns_read_as_their_own(blocks, frames, loop_rows):
    text = document(blocks, frames, loop_rows)
    want = expected_identity(blocks, frames, loop_rows)
    for _ in range(2):  # made, then taken from what the thread keeps
        batches, errors = q.parse_arrow(text)
        assert errors == []
        assert identity_of(batches) == want
        for batch in batches:
            check(batch)


@pytest.mark.parametrize("blocks,frames,loop_rows", SHAPES)
def test_kept_batch_outlives_the_cache_starting_afresh(blocks, frames, loop_rows):
    text = document(blocks, frames, loop_rows)
    batches = q.parse_arrow(text)[0]
    kept, sliced = batches[-1], batches[-1].slice(1)
    want = identity_of([kept])
    del batches
    # Enough distinct long loops to pass what the thread keeps, many times.
    for k in range(40):
        q.parse_arrow(document(1, 1, [900 + k, 1000 - k]))
    gc.collect()
    assert identity_of([kept]) == want
    assert identity_of([sliced]) == [[c[1:] for c in w] for w in want]
    check(kept)


@pytest.mark.parametrize("blocks,frames,loop_rows", SHAPES)
def test_batches_outlive_the_thread_that_made_them(blocks, frames, loop_rows):
    text = document(blocks, frames, loop_rows)
    made = {}
    worker = threading.Thread(target=lambda: made.update(r=q.parse_arrow(text)))
    worker.start()
    worker.join()
    gc.collect()
    batches, errors = made.pop("r")
    assert errors == []
    want = expected_identity(blocks, frames, loop_rows)
    assert identity_of(batches) == want


# A frame of many tags, whose working memory is let go, between documents
# that are converted with what the thread kept.
SEQUENCES = [
    pytest.param([5000, 3, 5000], id="wide-between-small"),
    pytest.param([3, 6000, 2], id="small-wide-small"),
    pytest.param([1, 1, 1], id="small-only"),
]


@pytest.mark.parametrize("tag_counts", SEQUENCES)
def test_documents_after_wide_frames(tag_counts):
    for count in tag_counts:
        text = "data_w\n" + "".join(f"_t.n{i} v{i}\n" for i in range(count))
        text += "loop_ _l.a _l.b 1 2 3 4\n"
        batches, errors = q.parse_arrow(text)
        assert errors == []
        assert [b.num_columns for b in batches] == [5 + count, 7]
        scalars = batches[0].to_pylist()[0]
        assert [scalars[f"_t.n{i}"] for i in range(count)] == [f"v{i}" for i in range(count)]
        assert batches[1].column("_l.b").to_pylist() == ["2", "4"]


# Lists of tags met before and after the schemas of a document are looked
# up by their own record: the first few batches, then many more.
FRAME_LISTS = [
    pytest.param(3, 2, id="few-batches"),
    pytest.param(40, 2, id="repeated-lists-past-the-first"),
    pytest.param(40, 40, id="distinct-lists"),
]


@pytest.mark.parametrize("frames,kinds", FRAME_LISTS)
def test_schemas_of_many_frames(frames, kinds):
    text = "data_s\n" + "".join(
        f"save_f{k}\n_k{k % kinds}.a {k}\n_k{k % kinds}.b x{k}\nsave_\n" for k in range(frames))
    batches, errors = q.parse_arrow(text)
    assert errors == []
    assert [b.schema.names[5:] for b in batches] == [
        [f"_k{k % kinds}.a", f"_k{k % kinds}.b"] for k in range(frames)]
    assert [b.to_pylist()[0][f"_k{k % kinds}.b"] for k, b in enumerate(batches)] == [
        f"x{k}" for k in range(frames)]
