"""Splitting replies that are longer than one Telegram message."""

from __future__ import annotations

import re

from hypothesis import given, settings
from hypothesis import strategies as st

from kavori.connectors.telegram import split_message, utf16_length

LIMIT = 40
# Plain letters, separators, and characters that must stay whole: pairs outside the BMP, a
# combining accent, an emoji joined by a zero-width joiner.
pieces = st.sampled_from(["a", "b", "word", " ", "\n", "\n\n", "😀", "é", "e\u0301",
                          "👩\u200d💻", "🙂"])
texts = st.lists(pieces, max_size=80).map("".join)


def squeeze(text: str) -> str:
    return re.sub(r"\s+", "", text)


@settings(max_examples=300, deadline=None)
@given(texts)
def test_pieces_fit_and_lose_nothing_but_separators(text):
    parts = split_message(text, LIMIT)
    assert all(utf16_length(part) <= LIMIT for part in parts)
    assert squeeze("".join(parts)) == squeeze(text)
    if utf16_length(text) <= LIMIT:
        assert parts == [text]
    else:
        assert all(part.strip() for part in parts)
    for part in parts:
        part.encode("utf-16-le")  # no half of a surrogate pair at either end
        assert not part.startswith(("\u0301", "\u200d")) and not part.endswith("\u200d")


def test_cuts_prefer_paragraphs_then_lines_then_words():
    paragraphs = ["p1 " * 8, "p2 " * 8, "p3 " * 8]  # 24 characters each
    assert split_message("\n\n".join(paragraphs), LIMIT) == paragraphs
    lines = "\n".join(["l1 " * 8, "l2 " * 8]) + "\n\n" + "x" * 30
    assert split_message(lines, LIMIT) == ["l1 " * 8, "l2 " * 8, "x" * 30]
    assert split_message("alpha beta gamma delta epsilon zeta eta theta", 20) == [
        "alpha beta gamma", "delta epsilon zeta", "eta theta"]


def test_a_run_without_spaces_is_cut_between_whole_characters():
    emoji = "😀" * 30  # 60 UTF-16 units
    assert split_message(emoji, LIMIT) == ["😀" * 20, "😀" * 10]
    assert split_message("x" + "😀" * 20, LIMIT) == ["x" + "😀" * 19, "😀"]
    accented = "e\u0301"  # e and a combining acute accent
    assert split_message("x" + accented * 30, LIMIT) == ["x" + accented * 19, accented * 11]
    coder = "👩\u200d💻"  # two emoji joined into one
    assert split_message(coder * 10, 38) == [coder * 7, coder * 3]
