"""KeyState and FileType: integer values, text forms and comparison rules."""

import operator
import weakref

import pytest

from _vostrel import FileType, KeyState

MEMBERS = [
    (KeyState, "Deleted", 0),
    (KeyState, "Live", 1),
    (KeyState, "Unknown", 2),
    (FileType, "Ldb", 1),
    (FileType, "Log", 2),
]
MEMBER_IDS = [f"{cls.__name__}.{name}" for cls, name, _ in MEMBERS]


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


@pytest.mark.parametrize("cls, name, value", MEMBERS, ids=MEMBER_IDS)
def test_member_value_and_text(cls, name, value):
    member = getattr(cls, name)
    assert type(member) is cls
    assert int(member) == value
    assert type(int(member)) is int
    assert repr(member) == f"{cls.__name__}.{name}"
    assert str(member) == f"{cls.__name__}.{name}"
    assert f"{member}" == f"{cls.__name__}.{name}"
    assert getattr(cls, name) is member


@pytest.mark.parametrize("cls, names", [(KeyState, ["Deleted", "Live", "Unknown"]),
                                        (FileType, ["Ldb", "Log"])])
def test_class_attributes_in_declared_order(cls, names):
    assert [name for name in vars(cls) if not name.startswith("_")] == names


@pytest.mark.parametrize("cls, name, value", MEMBERS, ids=MEMBER_IDS)
def test_equality_with_integers(cls, name, value):
    member = getattr(cls, name)
    for other in (value, Index(value)):
        assert member == other and other == member
        assert not (member != other) and not (other != member)
    for other in (value + 1, value - 1, Index(value + 7), -(2**62)):
        assert member != other and other != member
        assert not (member == other)
    # bool is an int subclass and converts like one.
    assert (member == True) is (value == 1)  # noqa: E712
    assert (member == False) is (value == 0)  # noqa: E712


@pytest.mark.parametrize("other", [1.0, 0.0, 2.0, "1", b"\x01", None, 2**64 + 1, -(2**80),
                                   Index(2**70), [1]])
def test_non_integers_are_never_equal(other):
    for member in (KeyState.Deleted, KeyState.Live, KeyState.Unknown, FileType.Ldb, FileType.Log):
        assert not (member == other)
        assert member != other
        assert not (other == member)


def test_comparisons_with_numbers():
    assert int(FileType.Log) == 2
    assert FileType.Log == 2 and 2 == FileType.Log
    assert not (FileType.Log == 1)
    assert KeyState.Live == True  # noqa: E712
    assert not (KeyState.Deleted == 0.0)


def test_members_of_one_class():
    assert KeyState.Live == KeyState.Live
    assert not (KeyState.Live != KeyState.Live)
    assert KeyState.Live != KeyState.Deleted
    assert not (KeyState.Live == KeyState.Unknown)
    assert FileType.Ldb != FileType.Log


def test_members_of_different_classes_are_never_equal():
    # Both have the integer value 1, but neither converts through __index__.
    assert not (FileType.Ldb == KeyState.Live)
    assert FileType.Ldb != KeyState.Live
    assert not (KeyState.Unknown == FileType.Log)
    assert KeyState.Unknown != FileType.Log


@pytest.mark.parametrize("op", [operator.lt, operator.le, operator.gt, operator.ge])
@pytest.mark.parametrize("left, right", [(KeyState.Live, KeyState.Unknown),
                                         (FileType.Ldb, FileType.Ldb),
                                         (KeyState.Live, 2), (1, FileType.Log),
                                         (KeyState.Live, FileType.Log)])
def test_ordering_raises(op, left, right):
    with pytest.raises(TypeError):
        op(left, right)


@pytest.mark.parametrize("member", [KeyState.Live, FileType.Ldb])
def test_unhashable_and_no_index(member):
    with pytest.raises(TypeError):
        hash(member)
    with pytest.raises(TypeError):
        {member}
    with pytest.raises(TypeError):
        operator.index(member)
    with pytest.raises(TypeError):
        [10, 20, 30][member]


@pytest.mark.parametrize("cls", [KeyState, FileType])
def test_no_constructor(cls):
    for args, kwargs in [((), {}), ((1,), {}), ((), {"value": 1})]:
        with pytest.raises(TypeError) as info:
            cls(*args, **kwargs)
        assert str(info.value) == f"No constructor defined for {cls.__name__}"


@pytest.mark.parametrize("cls", [KeyState, FileType])
def test_not_subclassable(cls):
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})


@pytest.mark.parametrize("member", [KeyState.Deleted, FileType.Log])
def test_no_instance_dict_or_weakref(member):
    assert not hasattr(member, "__dict__")
    with pytest.raises(AttributeError):
        member.extra = 1
    with pytest.raises(TypeError):
        weakref.ref(member)
