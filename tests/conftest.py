import pytest

import velvane


@pytest.fixture
def parse():
    """Parse IDL text and return the parser."""

    def _parse(text):
        parser = velvane.ThriftParser()
        parser.parse(text)
        return parser

    return _parse
