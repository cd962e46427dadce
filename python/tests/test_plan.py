"""libdace.plan: the engine and the report of `dace plan --json`, from Python."""
import json

import pytest

import libdace

# 64 clusters of 4 pages of 256 bytes, commands costing nothing; records of
# two clusters' data, each flushed, every minute; the log rotates after
# three records (the tool's tests count this workload's programs and erases
# by hand).
HAND_PART = {"page_size": 256, "clus_pages": 4, "pages": 256, "erase_block": 1024, "read_mb_s": 1,
             "read_call_us": 0, "page_read_us": 0, "program_us": 1000, "program_us_max": 2000,
             "program_call_us": 0, "erase_ms": 10, "erase_ms_max": 20, "erase_call_us": 0,
             "endurance": 1000}
HAND = {
    "part": HAND_PART,
    "record": {"size": 2032, "interval": "60s", "flush_every": 1},
    "log": {"max_size": 6096, "keep": 1},
    "settings": {"size": 0},
    "config": {"max_files": 2},
}
# Three days: enough to compare reports, short of settling.
SHORT = dict(HAND, run={"max_days": 3})


def test_plan_gives_the_report_the_tool_prints(tool, tmp_path):
    path = tmp_path / "hand.json"
    path.write_text(json.dumps(SHORT))
    printed = json.loads(tool("plan", path, "--json").stdout)
    assert libdace.plan(path) == printed
    assert libdace.plan(str(path)) == printed
    assert libdace.plan(SHORT) == printed


def test_sections_given_as_keywords_override_as_the_tool_options_do(tool, tmp_path):
    path = tmp_path / "hand.json"
    path.write_text(json.dumps(HAND))
    printed = json.loads(tool("plan", path, "--wear-levelling", "off", "--max-days", "2",
                              "--part", "nand-512", "--size", "1M", "--json").stdout)
    # A class replaces the workload's part whole; a dict is laid over each part.
    report = libdace.plan(HAND, config={"wear_levelling": False}, run={"max_days": 2},
                          part=["nand-512", {"class": "nand-512", "size": "1M"}][1:])
    assert report == printed
    assert report["modes"] == ["first_fit"]
    assert report["input"]["part"]["class"] == "nand-512"
    whole = libdace.plan(HAND, run={"max_days": 1}, part="nand-512")
    assert whole["input"]["part"]["pages"] == 32768
    laid_over = libdace.plan(HAND, run={"max_days": 1}, part={"endurance": 500})
    assert laid_over["input"]["part"]["page_size"] == 256
    assert laid_over["input"]["part"]["endurance"] == 500


def test_parts_compared_side_by_side_from_classes_and_part_files(tool, tmp_path):
    path = tmp_path / "mine.json"
    path.write_text(json.dumps(HAND_PART))
    workload = tmp_path / "short.json"
    workload.write_text(json.dumps(SHORT))
    report = libdace.plan(SHORT, part=[path, "nand-512"])
    assert report == json.loads(tool("plan", workload, "--part", path, "--part", "nand-512", "--json").stdout)
    assert [p["label"] for p in report["parts"]] == ["mine", "nand-512"]
    assert report["parts"][1]["part"]["page_size"] == 512
    assert not report["same_capacity"]
    assert any("differ in capacity" in line for line in report["answer"])
    with pytest.raises(FileNotFoundError):
        libdace.plan(SHORT, part=tmp_path / "none.json")
    with pytest.raises(ValueError, match="erases blocks of 64 pages"):
        libdace.plan(SHORT, part="nand-2k")


def test_documents_nested_too_deep_are_refused(tmp_path):
    deep = tmp_path / "deep.json"
    deep.write_text("[" * 30000 + "]" * 30000)
    with pytest.raises(ValueError, match="nested deeper than 16 levels"):
        libdace.plan(deep)


def test_the_keys_scripts_read():
    report = libdace.plan(HAND)
    for mode in ("first_fit", "wear_levelling"):
        # A fresh volume's mount reads 64 headers of 8 bytes, a root header
        # of 32 and the root cluster; the log's creation programs a page.
        assert report["boot_ms"][mode]["empty"] == pytest.approx(2.568)
        assert report["boot_ms"][mode]["full"] > 0
        assert report["worst_write_ms"][mode] == 68.0
        assert report["erases_per_day"][mode]["mean_cluster"] == pytest.approx(3360 / 64)
        assert report["run"][mode]["settled"]
    first, levelled = report["life_years"]["first_fit"], report["life_years"]["wear_levelling"]
    assert 0 < first < levelled


def test_what_the_tool_refuses_is_a_value_error():
    with pytest.raises(ValueError, match=r"record\.sise: unknown key"):
        libdace.plan({"record": {"sise": 3}})
    with pytest.raises(ValueError, match="the part is full"):
        libdace.plan(HAND, log={"max_size": "28K"})
    with pytest.raises(ValueError, match=r"log\.max_size: 2 logs of 1048576 bytes take"):
        libdace.plan(HAND, log={"max_size": "1M"})
    with pytest.raises(TypeError, match="recordz"):
        libdace.plan(recordz={})
    assert "nand-512" in libdace.part_classes()
