"""The README and the documentation in docs/: their examples run, the tables
the docs build makes from the code, what they say about the emulator, and the
release set-up they describe. None of this needs MkDocs; `make docs` builds
the site itself."""

import html
import importlib.metadata
import importlib.util
import inspect
import json
import os
import re
import shutil
import subprocess
import sys
import zlib
from pathlib import Path

import pytest

import standin
from standin.sources import DOCS, MARKERS, README, ROOT, documents, examples, read_stub

WORKFLOW = ROOT / ".github" / "workflows" / "wheels.yml"
SITE = "https://tavrocam.readthedocs.io/en/latest/"


def load(path: Path, name: str):
    spec = importlib.util.spec_from_file_location(name, path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


HOOK = load(DOCS / "hooks" / "generated.py", "docs_hook")


def run(args, cwd, env=None):
    return subprocess.run(args, cwd=cwd, capture_output=True, encoding="utf-8", timeout=120,
                          env=dict(os.environ, PYTHONIOENCODING="utf-8", **(env or {})))


# ------------------------------------------------------------------ examples

# Each example once, named by the first place it appears.
UNIQUE = list({example.code: example for example in reversed(examples())}.values())[::-1]


@pytest.mark.parametrize("example", UNIQUE, ids=lambda example: example.name)
def test_example_runs(tmp_path, example):
    compile(example.code, example.name, "exec")
    if example.parked:
        pytest.skip(f"parked: {example.parked}")
    env = {"PYLON_CAMEMU": "1", **example.env}
    if "pytest" in example.markers:
        (tmp_path / "test_example.py").write_text(example.code, encoding="utf-8")
        child = run([sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider",
                     *example.markers["pytest"].split(), "test_example.py"], tmp_path, env)
        assert child.returncode == 0 and " passed" in child.stdout, child.stdout + child.stderr
        return
    child = run([sys.executable, "-c", example.code], tmp_path, env)
    assert (child.returncode, child.stderr) == (0, ""), child.stdout + child.stderr
    if "closing(CLASS_Tavrocam(" in example.code or "closing(Tavrocam.CLASS_Tavrocam(" in example.code:
        assert child.stdout.splitlines()[-1] == "CCD closed."


def test_examples_carry_only_known_markers():
    unknown = {(example.name, key) for example in examples() for key in example.markers
               if key not in MARKERS}
    assert not unknown
    assert all(re.fullmatch(r"(\w+=\S*\s*)+", example.markers["env"])
               for example in examples() if "env" in example.markers)


def test_every_page_has_examples_that_run():
    # A page whose every example is parked would show nothing checked.
    running = {example.path for example in examples() if not example.parked}
    assert {README, DOCS / "getting-started.md", DOCS / "simulator" / "grabbing.md"} <= running


# ------------------------------------------------------------ generated tables

def test_every_marker_names_a_table_and_every_table_is_shown():
    named = [found["name"] for path in documents()
             for found in HOOK.MARKER.finditer(path.read_text(encoding="utf-8"))]
    assert sorted(named) == sorted(HOOK.TABLES)


def test_an_unknown_table_fails_the_build():
    with pytest.raises(ValueError, match="names no table"):
        HOOK.render("<!-- generated: nonsense -->\n")


def table_rows(markdown):
    return [[cell.strip() for cell in line.strip("|").split("|")]
            for line in markdown.splitlines()[2:] if line.startswith("|")]


def test_groups_table_lists_every_method_with_its_parameters(T):
    rows = table_rows(HOOK.render("<!-- generated: groups -->"))
    _, attributes = read_stub()
    listed, group = [], None
    for cell_group, method, nodes in rows:
        group = re.match(r"`(\w+)`", cell_group)[1] if cell_group else group
        name, params = re.fullmatch(r"`(\w+)\((.*?)\)(?: -> .*)?`", method).groups()
        function = getattr(getattr(T, attributes[group]), name)
        expected = [p.name + ("" if p.default is p.empty else f" = {p.default!r}")
                    for p in list(inspect.signature(function).parameters.values())[1:]]
        assert [re.sub(r": [^=]+?( = |$)", r"\1", p) for p in params.split(", ") if p] == expected
        assert nodes == "none" or re.fullmatch(r"`\w+`(, `\w+`)*", nodes)
        listed.append((group, name))
    module = [(attribute, name) for attribute, cls in attributes.items() if hasattr(T, cls)
              for name in vars(getattr(T, cls)) if name.startswith("CUF_")]
    assert sorted(listed) == sorted(module)
    assert len(listed) == len(set(listed))


def test_groups_table_names_the_nodes_each_method_reaches(T):
    rows = {re.match(r"`(\w+)\(", method)[1]: nodes
            for _, method, nodes in table_rows(HOOK.render("<!-- generated: groups -->"))}
    assert rows["CUF_GET_BalanceRatio"] == "`BalanceRatioSelector`, `BalanceRatio`"
    assert rows["CUF_SET_CenterX"] == "`CenterX`, `Width`, `OffsetX`"
    assert rows["CUF_GET_ModelName"] == "`DeviceModelName`"
    assert rows["CUF_SET_PylonColorAdaptation"] == "none"


def test_assumed_values_table_holds_every_assumed_value_of_the_model():
    from tavrocam_sim import model

    rows = table_rows(HOOK.render("<!-- generated: assumed-values -->"))
    assert [tuple(html.unescape(cell) for cell in row) for row in rows] == model.assumed_values()
    assert "| the text of an open after the device was removed | Failed to open device '&lt;full name&gt;'." \
        in HOOK.render("<!-- generated: assumed-values -->")  # shown, not taken for a tag


def test_reference_states_what_each_method_reaches_as_the_camera_has_it(T):
    # Held to the module (the nodes a method looks up, on the stand-in camera)
    # and to the simulated camera at its start settings (what pylon's GenApi
    # makes of the model table), not to the code that wrote it.
    import tavrocam_sim
    from standin import reference
    from tavrocam_sim import model

    page = HOOK.render("<!-- generated: reference -->")
    simulation = tavrocam_sim.Simulation(cameras=1)
    factory = simulation.pylon.TlFactory.GetInstance()
    cam = simulation.pylon.InstantCamera(factory.CreateDevice(factory.EnumerateDevices()[0]))
    cam.Open()
    offered = {node.GetNode().GetName() for node in cam.GetNodeMap().GetNodes()}
    assumed = {what for what, _ in model.assumed_values()}
    words = {"minimum": "minimum", "maximum": "maximum", "step": "increment", "value": "start value"}
    listed = []
    for attribute, cls, entries in reference.group_entries():
        for e in entries:
            listed.append(f"{cls}.{e.method.name}")
            assert page.count(f"`api.{attribute}.{e.method.name}(") == 1
            assert [f.name for f in e.nodes] == standin.nodes_reached(getattr(T, cls), e.method.name)
            for f in e.nodes:
                assert (f.kind is not None) == (f.name in offered), f.name
                if f.kind is None:
                    continue
                node = getattr(cam, f.name)
                if f.minimum is not None:
                    assert (node.GetMin(), node.GetMax()) == (f.minimum, f.maximum), f.name
                    assert f.inc is None or f.inc == node.GetInc()
                if f.entries:
                    assert f.entries == tuple(entry.GetSymbolic() for entry in node.GetEntries())
                assert {f"`{f.name}` {words[word]}" for word in f.assumed} <= assumed
                shown = [what for what in assumed if what.startswith(f"`{f.name}` ") and
                         what.split(" ", 1)[1] in ("minimum", "maximum", "increment")]
                assert {f"`{f.name}` {words[word]}" for word in f.assumed} >= set(shown), f.name
    cam.Close()
    assert sorted(listed) == sorted(f"{name}.{method}" for name, cls in vars(T).items()
                                    if isinstance(cls, type) and cls is not T._FeatureBase
                                    for method in vars(cls) if method.startswith("CUF_"))


def test_reference_says_what_each_method_does_with_a_failure(T, capsys):
    # Each method on a camera that lacks every node it reaches.
    from standin import reference

    for _, cls, entries in reference.group_entries():
        for e in entries:
            nodes = standin.nodes_reached(getattr(T, cls), e.method.name)
            method = getattr(getattr(T, cls)(standin.Camera(omit=tuple(nodes))), e.method.name)
            args = [1] * (len(e.method.params) - 1 - len(e.method.defaults or ()))
            try:
                result = method(*args)
            except AttributeError:
                result = "raised"
            out = capsys.readouterr().out
            done = {"raises": "raised", "prints": None, "silent": None, "nothing": None}
            assert (result, bool(out)) == (done[e.failure], e.failure == "prints"), e.method.name


NODES_ON_THE_EMULATOR = """\
import json, sys
from pypylon import pylon
factory = pylon.TlFactory.GetInstance()
camera = pylon.InstantCamera(factory.CreateDevice(factory.EnumerateDevices()[0]))
camera.Open()
offered = {node.GetNode().GetName() for node in camera.GetNodeMap().GetNodes()}
print(json.dumps([node for node in json.loads(sys.argv[1]) if node not in offered]))
camera.Close()
"""


def test_docs_name_the_nodes_the_emulator_lacks(T):
    used = {node for cls in vars(T).values() if isinstance(cls, type)
            for name in vars(cls) if name.startswith("CUF_")
            for node in standin.nodes_reached(cls, name)}
    child = run([sys.executable, "-c", NODES_ON_THE_EMULATOR, json.dumps(sorted(used))], ROOT,
                {"PYLON_CAMEMU": "1"})
    assert child.returncode == 0, child.stderr
    version = importlib.metadata.version("pypylon")
    lines = [line for path in documents() for line in path.read_text(encoding="utf-8").splitlines()
             if line.startswith(f"- on pypylon {version}: ")]
    if not lines:
        pytest.skip(f"the docs do not describe the emulator of pypylon {version}")
    assert sorted(re.findall(r"`(\w+)`", lines[0])) == json.loads(child.stdout)


# ------------------------------------------------------------------ pictures

SCRIPT = load(DOCS / "scripts" / "make_images.py", "make_images")


def test_pages_show_exactly_the_pictures_the_script_makes():
    shown = {name for path in documents()
             for name in re.findall(r"\(\.\./images/generated/([\w.-]+)\)", path.read_text(encoding="utf-8"))}
    assert shown == set(SCRIPT.PICTURES)


def png_size(data):
    assert data[:8] == b"\x89PNG\r\n\x1a\n"
    length, kind = int.from_bytes(data[8:12], "big"), data[12:16]
    assert kind == b"IHDR" and zlib.crc32(data[12:16 + length]) == int.from_bytes(data[16 + length:20 + length], "big")
    return int.from_bytes(data[16:20], "big"), int.from_bytes(data[20:24], "big"), data[25]


def test_script_makes_every_picture_from_the_simulated_camera():
    pytest.importorskip("numpy", reason="the pictures need numpy (the docs build has it)")
    made = SCRIPT.make_images()
    assert set(made) == set(SCRIPT.PICTURES)
    sizes = {name: png_size(data) for name, data in made.items() if name.endswith(".png")}
    assert made["photon-transfer.svg"].startswith(b"<svg")
    assert sizes["frame-rgb8.png"] == (512, 384, 2)  # a quarter of 2048 x 1536, RGB
    assert sizes["frame-mono8.png"] == (512, 384, 0)  # grey
    assert sizes["testimage1.png"] == (512, 384, 2)
    assert made["testimage1.png"] != made["testimage5.png"]


# ------------------------------------------------------------------ the README

def test_readme_is_short_and_starts_with_the_essentials():
    lines = README.read_text(encoding="utf-8").splitlines()
    assert len(lines) <= 120
    # Under the title, the two commands a fresh clone runs (.ci/release-check runs them).
    assert [line.split("#")[0].strip() for line in lines[2:6]] == ["```sh", "make demo", "make test", "```"]
    installs = [line.split("#")[0].strip() for line in lines[:30] if line.startswith("pip install")]
    assert installs == ["pip install .", 'pip install "tavrocam @ git+https://github.com/tavrocam/tavrocam"',
                        "pip install tavrocam"]
    fences = [number for number, line in enumerate(lines) if line == "```python"]
    assert len(fences) >= 2 and fences[1] < 90  # a camera and the simulated camera, early
    assert "CLASS_Tavrocam()" in "\n".join(lines[fences[0]:fences[1]])
    assert "tavrocam_sim" in "\n".join(lines[fences[1]:])


def anchors(page: Path):
    """The ids MkDocs gives the headings of a page."""
    headings = re.findall(r"^#+ (.+)$", page.read_text(encoding="utf-8"), re.MULTILINE)
    return {re.sub(r"[\s]+", "-", re.sub(r"[^\w\s-]", "", heading.lower())).strip("-")
            for heading in headings}


@pytest.mark.parametrize("path", [README, ROOT / "CONTRIBUTING.md", ROOT / "CHANGELOG.md"],
                         ids=lambda path: path.name)
def test_links_into_the_docs_site_name_its_pages(path):
    # The README is also the package's description: its links go to the published site.
    for page, anchor in re.findall(re.escape(SITE) + r"([\w/-]*?)/?(?:#([\w-]+))?\)",
                                   path.read_text(encoding="utf-8")):
        source = next((p for p in (DOCS / f"{page}.md", DOCS / page / "index.md") if p.is_file()), None)
        if not page:
            source = DOCS / "index.md"
        assert source, f"{path.name} links to {SITE}{page}/, which has no page in docs/"
        assert not anchor or anchor in anchors(source), f"{source} has no heading #{anchor}"


def prose(text):
    """Markdown without its code blocks, code spans and comments."""
    text = re.sub(r"^(```|~~~).*?^\1$", "", text, flags=re.MULTILINE | re.DOTALL)
    return re.sub(r"`[^`]*`|<!--.*?-->", "", text, flags=re.DOTALL)


@pytest.mark.parametrize("path", documents(), ids=lambda path: path.relative_to(ROOT).as_posix())
def test_prose_has_no_text_that_markdown_takes_for_html(path):
    # "prints <model>" outside a code span is an HTML tag to Markdown, and vanishes.
    tags = re.findall(r"</?[A-Za-z][^>\n]*>", prose(path.read_text(encoding="utf-8")))
    assert [tag for tag in tags if not re.fullmatch(r'<div class="grid cards" markdown>|</div>|<https://\S+>', tag)] == []


def test_repository_files_the_readme_links_exist():
    # Absolute, as the package's description on PyPI needs them.
    text = README.read_text(encoding="utf-8")
    assert not re.findall(r"\]\((?!https?:)([^)#]+)\)", text)
    targets = re.findall(r"\]\(https://github\.com/tavrocam/tavrocam/blob/main/([^)#]+)\)", text)
    assert targets and all((ROOT / target).is_file() for target in targets), targets


# --------------------------------------------------------- the release set-up

def jobs(workflow: str) -> dict:
    """{job id: its lines} of the workflow's jobs."""
    body = workflow.split("\njobs:\n", 1)[1]
    parts = re.split(r"^  ([\w-]+):\n", body, flags=re.MULTILINE)
    return dict(zip(parts[1::2], parts[2::2]))


def test_workflow_actions_are_pinned_or_waiting_for_their_pin():
    # A commit hash with its release in a comment (.ci/pin-actions moves them on).
    uses = re.findall(r"^\s*(?:- )?uses: (\S+)(.*)$", WORKFLOW.read_text(encoding="utf-8"), re.MULTILINE)
    assert uses
    for ref, comment in uses:
        action, _, version = ref.partition("@")
        assert re.fullmatch(r"[0-9a-f]{40}", version) and re.fullmatch(r" # v\d+\.\d+\.\d+", comment), \
            ref + comment


def test_workflow_downloads_artifacts_with_the_node_24_release():
    found = re.findall(r"uses: actions/download-artifact@[0-9a-f]{40} # v(\d+)\.", WORKFLOW.read_text(encoding="utf-8"))
    assert found and min(int(major) for major in found) >= 7


def test_workflow_runs_once_per_change_and_names_every_job():
    text = WORKFLOW.read_text(encoding="utf-8")
    assert re.search(r"^concurrency:\n  group: .+\n  cancel-in-progress: .+$", text, re.MULTILINE)
    found = jobs(text)
    assert {"wheels", "sdist", "check", "docs", "publish"} <= set(found)
    for job, lines in found.items():
        assert re.search(r"^    name: \S", lines, re.MULTILINE), f"job {job} has no name"
    # One Python hosts cibuildwheel, which brings the CPythons it builds for.
    assert all(len(re.findall(r"python-version: \S", lines)) <= 1 and "python-version: |" not in lines
               for lines in found.values())
    assert re.search(r"^    environment:\n      name: pypi\n      url: \S", found["publish"], re.MULTILINE)
    assert re.search(r"^    needs: \[check, docs\]$", found["publish"], re.MULTILINE)
    assert "make docs" in found["docs"]


def test_pyproject_names_the_project_urls_and_the_linux_base():
    try:
        import tomllib
    except ImportError:  # CPython 3.10: the same parser as a test dependency
        import tomli as tomllib
    project = tomllib.loads((ROOT / "pyproject.toml").read_text(encoding="utf-8"))
    urls = project["project"]["urls"]
    assert set(urls) == {"Source", "Documentation", "Issues", "Changelog"}
    assert all(url.startswith("https://") for url in urls.values())
    cibw = project["tool"]["cibuildwheel"]
    assert cibw["linux"]["manylinux-x86_64-image"] == cibw["linux"]["manylinux-aarch64-image"] == "manylinux_2_34"
    assert "test-skip" not in cibw  # the suite runs inside the build container
    repairs = {o["select"]: o["repair-wheel-command"] for o in cibw["overrides"]}
    for arch in ("x86_64", "aarch64"):
        assert f"--plat manylinux_2_31_{arch} --only-plat" in repairs[f"*-manylinux_{arch}"]


@pytest.mark.skipif(sys.platform == "win32" or not (shutil.which("git") and shutil.which("bash")),
                    reason="a tool for the maintainer's Linux or macOS shell; needs git and bash")
def test_pin_actions_pins_each_action_to_the_newest_release_of_its_major(tmp_path):
    def git(*args, cwd):
        return subprocess.run(["git", *args], cwd=cwd, check=True, capture_output=True,
                              encoding="utf-8").stdout.strip()

    remote = tmp_path / "actions" / "checkout"
    remote.mkdir(parents=True)
    identity = ["-c", "user.name=t", "-c", "user.email=t@t"]
    git("init", "-q", cwd=remote)
    commits = {}
    for tag in ("v6.0.0", "v6.10.1", "v6.2.0", "v7.0.0"):
        git(*identity, "commit", "-q", "--allow-empty", "-m", tag, cwd=remote)
        commits[tag] = git("rev-parse", "HEAD", cwd=remote)
        git(*identity, "tag", "-a", tag, "-m", tag, cwd=remote)  # annotated: ls-remote peels it
    workflow = tmp_path / "wheels.yml"
    workflow.write_text("    steps:\n      - uses: actions/checkout@v6 # pin: .ci/pin-actions\n"
                        "        with:\n      - uses: actions/checkout/sub@v6.2.0 # pin: .ci/pin-actions\n",
                        encoding="utf-8")
    child = run(["bash", str(ROOT / ".ci" / "pin-actions"), str(workflow)], tmp_path,
                {"PIN_ACTIONS_SERVER": tmp_path.as_uri()})
    assert child.returncode == 0, child.stdout + child.stderr
    assert workflow.read_text(encoding="utf-8") == (
        f"    steps:\n      - uses: actions/checkout@{commits['v6.10.1']} # v6.10.1\n        with:\n"
        f"      - uses: actions/checkout/sub@{commits['v6.2.0']} # v6.2.0\n")
