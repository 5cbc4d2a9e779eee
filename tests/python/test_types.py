import pytest

from quarzel import types


@pytest.mark.parametrize("cls, names", [
    (types.CifVersion, ["CIF_1_1", "CIF_2_0"]),
    (types.TokenType, ["TAG", "KEYWORD", "VALUE"]),
    (types.ValueType, ["MULTILINE_STRING", "TRIPLE_DOUBLE_QUOTED", "TRIPLE_SINGLE_QUOTED",
                       "DOUBLE_QUOTED", "SINGLE_QUOTED", "STRING", "PLACEHOLDER"]),
])
def test_members_carry_their_names(cls, names):
    assert [m.name for m in cls] == names
    for name in names:
        assert getattr(cls, name).name == name


def test_parse_error_fields_and_str():
    e = types.ParseError("syntactic", "stop_ outside loop", 3, 7, "stop_", "ignored")
    assert (e.error_type, e.message, e.line, e.column, e.context, e.recovery_action) == (
        "syntactic", "stop_ outside loop", 3, 7, "stop_", "ignored")
    assert list(e.as_dict()) == ["error_type", "message", "line", "column", "context",
                                 "recovery_action"]
    assert str(e) == "3:7: syntactic: stop_ outside loop"
    assert isinstance(e, Exception)


def test_model_module_exposes_native_classes():
    import quarzel_core
    from quarzel.cifmodel import model

    assert model.CifFile is quarzel_core.CifFile
    assert model.CifBlock is quarzel_core.CifBlock
    assert model.CifSaveFrame is quarzel_core.CifSaveFrame
