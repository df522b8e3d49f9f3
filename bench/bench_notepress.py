"""notepress: 1,000 exported notes (about 3 KB each, a third with one or two
images) converted by `dor-vex notepress`, against the floor (a minimal script
doing the command's work: read, markdown.markdown with the same extensions,
local images embedded as Base64 data URIs, write) and against pandoc writing
standalone, self-contained HTML.

pandoc starts one process per note, so it runs on a 60-note slice of the same
notes to keep the benchmark within a few minutes; dor-vex and the floor run on
that slice too, so that table compares like with like."""

import json
import os
import random
import shutil
import subprocess
import sys
import tempfile

from common import VENV_BIN, compare, report
from PIL import Image, ImageDraw

NOTES = 1000
PANDOC_NOTES = 60
ROUNDS = 11  # single runs on a shared machine move by 30%; medians of 11 settle
EXTENSIONS = ["fenced_code", "tables", "toc", "md_in_html", "sane_lists", "nl2br"]
FLOOR_LABEL = "floor (read, markdown, embed, write)"

FLOOR = f"""
import base64, os, re, sys, urllib.parse, markdown
src, dst = sys.argv[1:3]
os.makedirs(dst, exist_ok=True)
for folder, dirs, files in os.walk(src):
    for name in files:
        if name.endswith(".md"):
            with open(os.path.join(folder, name), encoding="utf-8") as f:
                text = f.read()
            html = markdown.markdown(text, extensions={EXTENSIONS!r})
            def embed(m):
                path = os.path.join(folder, urllib.parse.unquote(m.group(1)))
                with open(path, "rb") as f:
                    uri = "data:image/png;base64," + base64.b64encode(f.read()).decode()
                return m.group(0).replace(m.group(1), uri)
            html = re.sub(r'<img[^>]+src="([^">]+)"', embed, html)
            with open(os.path.join(dst, name[:-3] + ".html"), "w", encoding="utf-8") as f:
                f.write(html)
"""

# One standalone page per note; images are looked up beside the note.
PANDOC = r"""
src="$1"; dst="$2"; mkdir -p "$dst"
find "$src" -name '*.md' -print0 | while IFS= read -r -d '' f; do
    name="$(basename "$f" .md)"
    pandoc -s --toc -f gfm -t html5 --self-contained --resource-path="$(dirname "$f")" \
        --metadata title="$name" "$f" -o "$dst/$name.html"
done
"""

WORDS = ("the sensor board chamber run offset guard cell firmware review layout pilot "
         "measurement noise floor peak supplier connector thermal budget schedule").split()


def sentence(rng, n):
    return " ".join(rng.choice(WORDS) for _ in range(n)).capitalize() + "."


def plot_png(path, rng):
    img = Image.new("RGB", (640, 360), "white")
    d = ImageDraw.Draw(img)
    y = 180
    for x in range(0, 640, 2):
        y = max(10, min(350, y + rng.randint(-9, 9)))
        d.line([x, 360, x, y], fill=(rng.randint(0, 255), 120, 200))
    # a photo-like patch gives the file the size of a real screenshot
    img.paste(Image.frombytes("RGB", (150, 90), rng.randbytes(150 * 90 * 3)), (470, 10))
    img.save(path)


def note(rng, i, images):
    parts = [
        f"# Note {i}",
        "",
        f"Created: March {i % 28 + 1}, 2024 9:12 AM",
        "Tags: bench, notes",
        "Status: Done",
        "",
        "**Author:** Mira Okafor",
        f"**Version:** [1.{i % 10}](https://example.com/notes/{i})",
        "",
    ]
    for section in range(4):
        parts += [f"## Section {section + 1}", ""]
        parts += [sentence(rng, 14) for _ in range(3)] + [""]
        parts += [f"- {sentence(rng, 6)}" for _ in range(3)] + [""]
    parts += ["| key | value | unit |", "|---|---|---|"]
    parts += [f"| {rng.choice(WORDS)} | {rng.randint(1, 999)} | dB |" for _ in range(6)] + [""]
    parts += ["```python", "def peak(values):", "    return max(values)", "```", ""]
    for name in images:
        parts += [f"![plot](Note%20{i}/{name.replace(' ', '%20')})", ""]
    parts += [sentence(rng, 20) for _ in range(4)]
    return "\n".join(parts) + "\n"


def make_notes(root, count):
    rng = random.Random(7)
    pool = []
    for k in range(8):
        path = os.path.join(root, f"plot {k}.png")
        plot_png(path, rng)
        pool.append(path)
    src = os.path.join(root, "notes")
    os.makedirs(src)
    sizes = []
    for i in range(count):
        images = []
        if i % 3 == 0:
            folder = os.path.join(src, f"Note {i}")
            os.makedirs(folder)
            for j in range(1 + i % 2):
                name = f"plot {j}.png"
                shutil.copy(rng.choice(pool), os.path.join(folder, name))
                images.append(name)
        text = note(rng, i, images)
        sizes.append(len(text.encode()))
        with open(os.path.join(src, f"Note {i}.md"), "w", encoding="utf-8") as f:
            f.write(text)
    return src, sum(sizes) / len(sizes), os.path.getsize(pool[0])


def slice_of(src, dst, count):
    os.makedirs(dst)
    for i in range(count):
        shutil.copy(os.path.join(src, f"Note {i}.md"), dst)
        if os.path.isdir(os.path.join(src, f"Note {i}")):
            shutil.copytree(os.path.join(src, f"Note {i}"), os.path.join(dst, f"Note {i}"))


def dorvex_run(work, src, name, embed):
    config = os.path.join(work, f"{name}.json")
    with open(config, "w") as f:
        json.dump({"config": {"input_path": src, "output_path": os.path.join(work, name),
                              "embed_images": embed}}, f)
    # The log goes to a file: a full pipe would stall the child.
    return ["sh", "-c", 'exec "$0" notepress -c "$1" 2>"$2"', os.path.join(VENV_BIN, "dor-vex"),
            config, os.path.join(work, f"{name}.log")]


def clear(work):
    """Every run writes into an empty folder: replacing last round's pages
    costs the kernel more for an atomic replace than for the floor's rewrite
    in place, and that is no cost of converting."""
    for name in ("out", "plain", "floor", "pandoc"):
        shutil.rmtree(os.path.join(work, name), ignore_errors=True)


def contenders(work, src, with_pandoc):
    run = {"dor-vex notepress": dorvex_run(work, src, "out", True)}
    if not with_pandoc:
        # the cost of the images, in the command and in the floor alike
        run["dor-vex notepress, embed_images false"] = dorvex_run(work, src, "plain", False)
    run[FLOOR_LABEL] = [sys.executable, "-c", FLOOR, src, os.path.join(work, "floor")]
    if with_pandoc:
        run["pandoc -s --self-contained"] = ["bash", "-c", PANDOC, "pandoc", src,
                                             os.path.join(work, "pandoc")]
    return run


def main():
    env = {k: v for k, v in os.environ.items() if k != "DORVEX_DEBUG"}
    with tempfile.TemporaryDirectory() as root:
        src, mean_size, image_size = make_notes(root, NOTES)
        print(f"{NOTES} notes, mean {mean_size / 1024:.1f} KiB, every third with one or two "
              f"images of about {image_size // 1024} KiB; {ROUNDS} rounds, medians; wall time, "
              "and processor time (user + system),\nwhich other users of a shared machine "
              "disturb less")
        runs = contenders(root, src, False)
        summary = compare(runs, rounds=ROUNDS, env=env, cpu=True, setup=lambda: clear(root))
        report(f"notepress, {NOTES} notes", summary, FLOOR_LABEL)
        subprocess.run(runs["dor-vex notepress"], env=env, check=True, stdout=subprocess.DEVNULL)
        pages = os.listdir(os.path.join(root, "out"))
        if len(pages) != NOTES:
            sys.exit(f"dor-vex wrote {len(pages)} pages for {NOTES} notes")

        if shutil.which("pandoc") is None:
            print("\npandoc is not installed (make bench installs it): peer skipped")
            return
        part = os.path.join(root, "slice")
        slice_of(src, os.path.join(part, "notes"), PANDOC_NOTES)
        summary = compare(contenders(part, os.path.join(part, "notes"), True), rounds=ROUNDS,
                          env=env, setup=lambda: clear(part))
        report(f"notepress against pandoc, the first {PANDOC_NOTES} of the same notes", summary,
               FLOOR_LABEL)


if __name__ == "__main__":
    main()
