"""OpenRaster documents: written by tarnwick.ora, read back, and refused when bad.

The documents here are made by our own code (or by hand, entry by entry,
for the bad ones) from the format's published layout.
"""

import io
import os
import re
import zipfile

import numpy as np
import pytest

import tarnwick
from tarnwick import ora

Image = pytest.importorskip("PIL.Image")
Layer, Group = tarnwick.Layer, tarnwick.Group
RNG = np.random.default_rng(2026)


def image(height, width, dtype=np.uint8):
    top = 65535 if dtype == np.uint16 else 255
    return RNG.integers(0, top + 1, (height, width, 4)).astype(dtype)


def a_document():
    # Every composite-op name once, on small layers inside a pass-through group.
    every = [Layer(image(4, 5), blend, 0.75, operator=operator, x=i % 7, y=i // 7, name=name)
             for i, (name, (blend, operator)) in enumerate(ora.COMPOSITE_OPS.items())]
    return ora.Document(40, 30, [
        Layer(image(30, 40), name="paper"),
        Group(every, name="every name", isolated=False),
        Group([Layer(image(20, 25, np.uint16), "multiply", 0.5, x=-3, y=4, name='16 bits & "quotes"'),
               Layer(image(12, 12), "screen", x=10, y=10, clip=True, name="clipped"),
               Layer(image(3, 3), visible=False, name="hidden")],
              "overlay", 0.8, name="Gruppe ü", x=2, y=-1),
        Group([Layer(image(2, 2), "hard_light", x=5, y=5)], visible=False),
    ], resolution=(300.0, 150.0))


def same_tree(a, b):
    assert type(a) is type(b)
    fields = ("name", "visible", "blend", "opacity", "operator", "x", "y")
    assert [getattr(a, f) for f in fields] == [getattr(b, f) for f in fields]
    if isinstance(a, Group):
        assert a.isolated == b.isolated and len(a.layers) == len(b.layers)
        for x, y in zip(a.layers, b.layers):
            same_tree(x, y)
    else:
        assert a.clip == b.clip and np.array_equal(np.asarray(a.image), np.asarray(b.image))
        assert np.asarray(a.image).dtype == np.asarray(b.image).dtype


def test_a_written_document_reads_back_as_the_same_tree_and_picture(tmp_path):
    document = a_document()
    path = tmp_path / "doc.ora"
    ora.write(path, document)
    again = ora.read(path)
    assert (again.width, again.height, again.resolution) == (40, 30, (300.0, 150.0))
    assert len(again.layers) == len(document.layers)
    for a, b in zip(document.layers, again.layers):
        same_tree(a, b)
    picture = document.flatten()
    assert picture.dtype == np.uint8 and picture.shape == (30, 40, 4)
    assert again.flatten(threads=2).tobytes() == picture.tobytes()
    with zipfile.ZipFile(path) as archive:
        first = archive.infolist()[0]
        assert (first.filename, first.compress_type) == ("mimetype", zipfile.ZIP_STORED)
        assert archive.read("mimetype") == b"image/openraster"
        merged = np.asarray(Image.open(io.BytesIO(archive.read("mergedimage.png"))))
        thumbnail = Image.open(io.BytesIO(archive.read("Thumbnails/thumbnail.png")))
    assert merged.tobytes() == picture.tobytes()
    assert max(thumbnail.size) <= 256 and thumbnail.mode == "RGBA"
    # Written again from what was read: the same entries, byte for byte.
    ora.write(tmp_path / "again.ora", again)
    with zipfile.ZipFile(path) as one, zipfile.ZipFile(tmp_path / "again.ora") as two:
        assert [(i.filename, one.read(i)) for i in one.infolist()] == \
               [(i.filename, two.read(i)) for i in two.infolist()]


@pytest.mark.parametrize("attributes, isolated", [
    ('isolation="isolate"', True), ('isolation="auto"', False), ("", False),
    ('isolation="auto" opacity="0.5"', True), ('composite-op="svg:multiply"', True),
])
def test_stacks_are_isolated_as_openraster_draws_them(tmp_path, attributes, isolated):
    path = archive(tmp_path, f'<stack {attributes}><layer src="data/a.png"/></stack>')
    (group,) = ora.read(path).layers
    assert group.isolated is isolated


def png(array=None):
    buffer = io.BytesIO()
    Image.fromarray(image(6, 8) if array is None else array, "RGBA").save(buffer, format="PNG")
    return buffer.getvalue()


def archive(folder, body, entries=None, size='w="8" h="6"', mimetype=b"image/openraster"):
    path = folder / "hand.ora"
    with zipfile.ZipFile(path, "w") as out:
        if mimetype is not None:
            out.writestr("mimetype", mimetype)
        if body is not None:
            out.writestr("stack.xml", f"<?xml version='1.0'?><image {size}><stack>{body}</stack></image>")
        for name, data in (entries or {"data/a.png": png()}).items():
            out.writestr(name, data)
    return path


def nested(depth):
    return "<stack>" * depth + '<layer src="data/a.png"/>' + "</stack>" * depth


BAD_FILES = {
    "not a zip": (None, "not an OpenRaster document (not a zip archive)"),
    "no stack.xml": (dict(body=None), "not an OpenRaster document (no stack.xml)"),
    "mimetype": (dict(mimetype=b"image/png"), "its mimetype is not image/openraster"),
    "malformed": (dict(body="<layer src="), "stack.xml is not well-formed XML"),
    "missing entry": (dict(body='<layer name="sky" src="data/b.png"/>'),
                      "layer 'sky' (layers[0]) has src 'data/b.png', which names no entry of the archive"),
    "climbs out": (dict(body='<layer src="data/../../etc/passwd"/>'), "which climbs out of the archive"),
    "absolute": (dict(body='<layer src="/data/a.png"/>'), "which climbs out of the archive"),
    "too deep": (dict(body=nested(70)), "nested more than 64 stacks deep"),
    "canvas too large": (dict(size='w="100000" h="100000"'), "more than max_pixels=89478485"),
    "truncated png": (dict(entries={"data/a.png": png()[:-20]}), "(data/a.png) is a truncated PNG image"),
    "damaged png": (dict(entries={"data/a.png": png()[:40] + b"\0" + png()[41:]}), "checksum fails"),
    "not a png": (dict(entries={"data/a.png": b"GIF89a" + bytes(40)}), "is not a PNG image"),
    "unknown op": (dict(body='<layer name="x" src="data/a.png" composite-op="other:dissolve"/>'),
                   "layer 'x' (layers[0]) has composite-op 'other:dissolve', which tarnwick does not know"),
    "opacity": (dict(body='<layer src="data/a.png" opacity="1.5"/>'), "has opacity='1.5', not within 0..1"),
    "offset": (dict(body='<layer src="data/a.png" x="2.5"/>'), "has x='2.5', not an integer"),
    "visibility": (dict(body='<layer src="data/a.png" visibility="no"/>'), "not 'visible' or 'hidden'"),
    "element": (dict(body='<text>hi</text>'), "holds a <text> element, which tarnwick does not read"),
}


@pytest.mark.parametrize("case", BAD_FILES)
def test_bad_files_get_one_line_errors(tmp_path, case):
    arguments, message = BAD_FILES[case]
    if arguments is None:
        path = tmp_path / "photo.ora"
        path.write_bytes(png())
    else:
        arguments.setdefault("body", '<layer src="data/a.png"/>')
        path = archive(tmp_path, **arguments)
    with pytest.raises(ValueError) as raised:
        ora.read(path)
    assert message in str(raised.value) and "\n" not in str(raised.value)


@pytest.mark.parametrize("declaration", ['<!DOCTYPE image [<!ENTITY a "aaaa">]>', '<!ENTITY a "x">'])
def test_stack_xml_with_entities_is_refused(tmp_path, declaration):
    path = tmp_path / "bomb.ora"
    with zipfile.ZipFile(path, "w") as out:
        out.writestr("stack.xml", f"<?xml version='1.0'?>{declaration}<image w='8' h='6'><stack/></image>")
    with pytest.raises(ValueError, match="declares a DTD or entities"):
        ora.read(path)


def test_unknown_names_drawn_as_normal_are_each_reported(tmp_path):
    body = '<layer name="a" src="data/a.png" composite-op="x:one"/><layer src="data/a.png" composite-op="x:two"/>'
    path = archive(tmp_path, body)
    with pytest.warns(UserWarning) as caught:
        document = ora.read(path, unknown="normal")
    assert [re.search(r"'x:\w+'", str(w.message)).group() for w in caught] == ["'x:two'", "'x:one'"]
    assert all(layer.blend == "normal" for layer in document.layers)


def test_a_layer_larger_than_max_pixels_is_refused_unread(tmp_path):
    path = archive(tmp_path, '<layer src="data/a.png"/>', size='w="4" h="4"')
    with pytest.raises(ValueError, match=r"\(data/a.png\) is 8 x 6 pixels, more than max_pixels=40"):
        ora.read(path, max_pixels=40)


BAD_TREES = {
    "mask": (Layer(image(4, 4), mask=np.zeros((4, 4), np.uint8)), "layers[1].mask: OpenRaster layers have no masks"),
    "layer mode": (Layer.layer_mode(image(4, 4), "soft_light"), "layers[1].model: OpenRaster stores the standard model only"),
    "blend and operator": (Layer(image(4, 4), "multiply", operator="source_atop"),
                           "layers[1]: OpenRaster has one composite-op per layer"),
    "float": (Layer(image(4, 4).astype(np.float32)), "layers[1].image must be a uint8 or uint16"),
    "pass-through opacity": (Group([Layer(image(4, 4))], opacity=0.5, isolated=False),
                             "layers[1]: a pass-through group below opacity 1 has no OpenRaster form"),
    "bad blend": (Layer(image(4, 4), "multiplied"), "layers[1].blend must be one of tarnwick.BLENDS"),
    "clip": (Group([Layer(image(4, 4), clip=True)]), "layers[1].layers[0] clips to the layer below it"),
}


@pytest.mark.parametrize("case", BAD_TREES)
def test_write_refuses_what_openraster_cannot_hold_and_leaves_the_file(tmp_path, case):
    layer, message = BAD_TREES[case]
    path = tmp_path / "keep.ora"
    path.write_bytes(b"the old file")
    with pytest.raises((ValueError, TypeError)) as raised:
        ora.write(path, ora.Document(4, 4, [Layer(image(4, 4)), layer]))
    assert message in str(raised.value)
    assert path.read_bytes() == b"the old file" and os.listdir(tmp_path) == ["keep.ora"]


def test_a_failed_write_removes_its_temporary_file(tmp_path, monkeypatch):
    def broken(*args, **kwargs):
        raise OSError("disk full")

    monkeypatch.setattr(zipfile.ZipFile, "writestr", broken)
    with pytest.raises(OSError, match="disk full"):
        ora.write(tmp_path / "new.ora", ora.Document(4, 4, [Layer(image(4, 4))]))
    assert os.listdir(tmp_path) == []


def test_a_one_pixel_layer_is_a_layer_not_a_colour(tmp_path):
    pixel = np.array([[[200, 10, 10, 255]]], np.uint8)
    path = archive(tmp_path, '<layer src="data/a.png" x="3" y="2"/>', {"data/a.png": png(pixel)})
    picture = ora.read(path).flatten()
    assert picture[2, 3].tolist() == [200, 10, 10, 255] and picture[..., 3].sum() == 255


def test_names_with_markup_and_line_breaks_survive(tmp_path):
    name = 'a "b" <c> & d\n\te'
    ora.write(tmp_path / "n.ora", ora.Document(4, 4, [Layer(image(4, 4), name=name)]))
    assert ora.read(tmp_path / "n.ora").layers[0].name == name
