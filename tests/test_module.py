"""The module surface: classes, enumerations, marker classes, the application exception."""
import inspect

import pytest

import velvane

CLASSES = [
    "ThriftParser", "BinaryProtocol", "ThriftStruct", "ThriftField", "ThriftStructInstance",
    "PyThriftService", "PyThriftMethod", "ThriftServer", "ProtocolType", "CompactProtocol",
    "JSONProtocol", "TransportType", "ThriftClient", "AsyncThriftClient", "ThriftApplicationException",
]


def test_module_exposes_exactly_the_fifteen_classes():
    public = sorted(n for n in dir(velvane) if not n.startswith("__"))
    assert public == sorted(CLASSES)
    assert all(isinstance(getattr(velvane, n), type) for n in CLASSES)


@pytest.mark.parametrize("name", CLASSES)
def test_class_names_carry_no_module_prefix(name):
    assert getattr(velvane, name).__name__ == name
    assert getattr(velvane, name).__qualname__ == name


def test_transport_type_values_and_equality():
    T = velvane.TransportType
    assert T() == T.Framed
    assert T.Framed is T.Framed
    assert int(T.Buffered) == 1 and int(T.Framed) == 0
    assert T.Framed == 0 and T.Buffered == 1 and T.Buffered != 0
    assert not (T.Framed == "x")
    assert T.Framed != "x"
    assert repr(T.Framed) == "TransportType.Framed"
    assert repr(T.Buffered) == "TransportType.Buffered"
    with pytest.raises(TypeError):
        hash(T.Framed)
    assert T.__hash__ is None
    with pytest.raises(TypeError):
        T.Framed < T.Buffered
    with pytest.raises(TypeError):
        T(1)


def test_protocol_type_is_identity_compared_and_not_instantiable():
    P = velvane.ProtocolType
    assert repr(P.JSON) == "ProtocolType.JSON"
    assert repr(P.Binary) == "ProtocolType.Binary"
    assert [int(P.Binary), int(P.Compact), int(P.JSON)] == [0, 1, 2]
    assert not (P.Binary == 0)
    assert P.Compact == P.Compact and P.Compact is P.Compact
    assert {P.Binary: 1}[P.Binary] == 1
    with pytest.raises(TypeError):
        P()


@pytest.mark.parametrize(
    "cls, doc",
    [
        ("ThriftParser", "ThriftParser()\n--\n\n"),
        ("BinaryProtocol", "BinaryProtocol()\n--\n\n"),
        ("CompactProtocol", "CompactProtocol()\n--\n\n"),
        ("JSONProtocol", "JSONProtocol()\n--\n\n"),
        ("ThriftServer", "ThriftServer(service, transport=..., workers=1, protocol=...)\n--\n\n"),
        ("ThriftApplicationException",
         "ThriftApplicationException(message, type_)\n--\n\n"
         "A Thrift application-level exception returned by the remote server."),
        ("TransportType",
         "TransportType()\n--\n\nTransport layer to use when reading/writing Thrift messages over TCP.\n\n"
         "* `Framed`   \u2013 each message is prefixed by a 4-byte big-endian frame length.\n"
         "* `Buffered` \u2013 messages are written directly to the socket with no framing."),
        ("ThriftStructInstance",
         "ThriftStructInstance(struct_name, **kwargs)\n--\n\nA live instance of a Thrift struct.\n\n"
         "Fields are accessible as Python attributes (``instance.field_name``).\n"
         "Unknown attribute names raise ``AttributeError``."),
    ],
)
def test_class_docstrings_carry_text_signatures(cls, doc):
    # __doc__ strips the signature part; __text_signature__ holds it.
    klass = getattr(velvane, cls)
    head, _, description = doc.partition("\n--\n\n")
    assert klass.__doc__ == description
    assert klass.__text_signature__ == head[len(cls):]


def test_client_docstrings_describe_the_clients():
    for name in ("ThriftClient", "AsyncThriftClient"):
        klass = getattr(velvane, name)
        assert klass.__text_signature__ == "(service, host, port, transport=..., protocol=...)"
        assert klass.__doc__


@pytest.mark.parametrize("name", ["ThriftStruct", "ThriftField", "PyThriftService", "PyThriftMethod", "ProtocolType"])
def test_views_have_no_constructor(name):
    with pytest.raises(TypeError):
        getattr(velvane, name)()


@pytest.mark.parametrize("marker", ["BinaryProtocol", "CompactProtocol", "JSONProtocol"])
def test_marker_static_methods(marker, parse):
    cls = getattr(velvane, marker)
    assert list(k for k in vars(cls) if not k.startswith("__")) == ["serialize_struct", "deserialize_struct"]
    assert isinstance(vars(cls)["serialize_struct"], staticmethod)
    assert str(inspect.signature(cls.serialize_struct)) == "(struct_def, data)"
    assert str(inspect.signature(cls.deserialize_struct)) == "(struct_def, data)"
    point = parse("struct P { 1: i32 x }").get_struct("P")
    data = cls.serialize_struct(struct_def=point, data={"x": 7})
    assert cls().deserialize_struct(point, data).x == 7
    assert cls.deserialize_struct(data=data, struct_def=point).to_dict() == {"x": 7}
    with pytest.raises(TypeError, match="argument 'struct_def'"):
        cls.serialize_struct({"x": 1}, point)
    with pytest.raises(TypeError):
        cls(1)


def test_application_exception():
    E = velvane.ThriftApplicationException
    e = E("boom", 6)
    assert isinstance(e, Exception)
    assert e.args == ("boom", 6)
    assert e.message == "boom" and e.type_ == 6
    assert repr(e) == "ThriftApplicationException(type=6, message=boom)"
    with pytest.raises(AttributeError):
        e.message = "x"
    with pytest.raises(AttributeError):
        e.type_ = 1
    with pytest.raises(OverflowError):
        E("x", 2**31)
    try:
        raise E("no such method", 1)
    except Exception as caught:
        assert repr(caught) == "ThriftApplicationException(type=1, message=no such method)"


@pytest.mark.parametrize(
    "args, exc, message",
    [
        ((5, 1), TypeError, "argument 'message': 'int' object is not an instance of 'str'"),
        (("x", "1"), TypeError, "argument 'type_': 'str' object cannot be interpreted as an integer"),
        (("x", -2**31 - 1), OverflowError, "argument 'type_': "),
    ],
)
def test_application_exception_argument_errors(args, exc, message):
    with pytest.raises(exc) as info:
        velvane.ThriftApplicationException(*args)
    assert str(info.value).startswith(message)


@pytest.mark.parametrize("config", ["legacy", "isolated"])
def test_a_subinterpreter_cannot_import_the_module(config):
    import _interpreters
    interp = _interpreters.create(config)
    try:
        failure = _interpreters.exec(interp, "import velvane")
    finally:
        _interpreters.destroy(interp)
    assert failure is not None and failure.type.__name__ == "ImportError"
    assert failure.msg == "module velvane does not support loading in subinterpreters"
