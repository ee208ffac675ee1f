"""The demo runs and writes every picture as a PNG file that reads back."""
import struct
import subprocess
import sys
import zlib

PICTURES = ["envsweep_scores", "envsweep_spread", "envsweep_best_col", "envsweep_best_row",
            "envsweep_regions", "envsweep_coarse", "envsweep_coarse_regions", "gridlerp_source",
            "gridlerp_zoom", "gridlerp_rotated", "linscore_histogram", "patchwarp_fan",
            "patchwarp_outlines"]


def test_demo_writes_its_pictures(tmp_path):
    run = subprocess.run([sys.executable, "-m", "bitexact_image.demo", str(tmp_path)], check=True,
                         capture_output=True, text=True, timeout=120)
    assert "bit for bit: True" in run.stdout
    assert sorted(p.stem for p in tmp_path.iterdir()) == sorted(PICTURES)
    for name in PICTURES:
        data = (tmp_path / (name + ".png")).read_bytes()
        assert data[:8] == b"\x89PNG\r\n\x1a\n"
        cols, rows, depth, colour = struct.unpack(">IIBB", data[16:26])
        (length,) = struct.unpack(">I", data[33:37])
        assert data[37:41] == b"IDAT"
        lines = zlib.decompress(data[41:41 + length])
        assert len(lines) == rows * (1 + cols * (3 if colour == 2 else 1)), name
