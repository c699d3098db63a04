"""Fixtures shared by the surface tests."""
import pytest

import lumo_query as lq


@pytest.fixture
def query():
    # Two SQL values: an any-group and then an all-group.
    return lq.parse_query("{ shirt: red / blue }")


@pytest.fixture
def graph():
    return lq.parse_tag_graph("{ alice: employee, engineer }")
