"""Writes the seed corpus of the specification-loader fuzzer: every specification the
end-to-end tests hold, valid and malformed, one JSON file each.

Run from the repository root with the project's interpreter:
    .venv/bin/python tests/fuzz/make_seed_corpus.py
"""

import copy
import json
import re
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "tests" / "python"))

import conftest  # noqa: E402
import test_averaging_end_to_end as averaging  # noqa: E402
import test_hostile_inputs as hostile  # noqa: E402
import test_specification_loading as loading  # noqa: E402
from demo import SPEC as DEMO_SPEC  # noqa: E402

OUT = ROOT / "tests" / "fuzz" / "corpus" / "spec_loader"


def specifications():
    yield "demo", DEMO_SPEC
    yield "base", conftest.BASE_SPEC
    for name, spec in loading.REJECTED.items():
        yield "rejected " + name, spec
    for name, mutate in loading.INTERNAL.items():
        spec = copy.deepcopy(conftest.BASE_SPEC)
        mutate(spec)
        yield "internal error " + name, spec
    yield "sphere", averaging.spec_with([averaging.DIELECTRIC_4], [averaging.sphere(0.55)])
    yield "drude spheres", averaging.spec_with([averaging.DIELECTRIC_4, averaging.DRUDE],
                                               [averaging.sphere(0.6), averaging.sphere(0.3, mat_index=1)],
                                               metal="VolumetricAveraging")
    yield "gridded medium", hostile.CUSTOM_SPEC
    transformed = {"type": "Transformed", "name": "slab", "str_index": 0, "mat_index": 0,
                   "transform": [[1, 0, 0, 0], [0, 0.6, 0.8, 0], [0, -0.8, 0.6, 0], [0, 0, 0, 1]],
                   "geometry": {"type": "Box", "x_cent": -50, "y_cent": 0, "z_cent": 0,
                                "x_span": 100, "y_span": 100, "z_span": 100}}
    yield "transformed box", averaging.spec_with([averaging.DIELECTRIC_4], [transformed])
    # The shapes of the geometry reader's unit tests, each as the one structure of a scene.
    slab = {"type": "PolySlab", "z_cent": 0.0, "z_size": 2.0, "vertices": [[0, 0], [3, 0], [2, 2]]}
    c = 0.5 ** 0.5
    shapes = {
        "polyslab": slab,
        "polyslab arcs": {**slab, "bulges": [0.0, 0.4]},
        "polyslab dilated": {**slab, "dilation": 0.1},
        "polyslab sloped": {**slab, "sidewall_angle": 0.2},
        "polyslab tilted": {"type": "Transformed", "geometry": {**slab, "sidewall_angle": 0.2},
                            "transform": [[1, 0, 0, 0], [0, c, -c, 0], [0, c, c, 0], [0, 0, 0, 1]]},
        "triangle mesh": {"type": "TriangleMesh",
                          "vectors": [[[0, 0, 0], [1, 0, 0], [0, 1, 0]], [[0, 0, 0], [0, 0, 1], [1, 0, 0]]]},
        "clip operation": {"type": "ClipOperation", "operation": "difference",
                           "operand_a": averaging.sphere(0.5), "operand_b": averaging.sphere(0.2)},
        "geometry group": {"type": "GeometryGroup", "geometries": [averaging.sphere(0.3), slab]},
    }
    for name, shape in shapes.items():
        structure = {**shape, "name": name, "str_index": 0, "mat_index": 0}
        yield name, averaging.spec_with([averaging.DIELECTRIC_4], [structure])


def main():
    OUT.mkdir(parents=True, exist_ok=True)
    for name, spec in specifications():
        file_name = re.sub(r"[^a-z0-9]+", "_", name.lower()).strip("_") + ".json"
        (OUT / file_name).write_text(json.dumps(spec, indent=1) + "\n")
    # Texts that are no specification at all, as the failed-load tests hand them over.
    for file_name, text in (("not_json.json", "{not json"), ("trailing_text.json", '{"version": "1"} trailing'),
                            ("comment.json", "// comment\n{}")):
        (OUT / file_name).write_text(text)


if __name__ == "__main__":
    main()
