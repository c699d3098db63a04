-- lumo_query 0.1.0: exact matching and tag collection from the C++ core.
\echo Use "CREATE EXTENSION lumo_query" to load this file. \quit

-- Parsing, indexing and searching a small graph takes some microseconds,
-- about a hundred times an operator's cost: with that figure the planner
-- evaluates cheaper conditions (the tags prefilter) first and weighs a
-- parallel scan of a large table as worth it, while a statement over some
-- hundred thousand rows stays below the cost at which JIT compilation of
-- the plan (which cannot speed up this function) would start.
CREATE FUNCTION lumo_is_match(query text, graph text) RETURNS boolean
    AS 'MODULE_PATHNAME', 'lumo_is_match'
    LANGUAGE C IMMUTABLE STRICT PARALLEL SAFE COST 100;

COMMENT ON FUNCTION lumo_is_match(text, text) IS
    'true when the tag graph text matches the query text; both are validated';

CREATE FUNCTION lumo_collect_tags(graph text) RETURNS text[]
    AS 'MODULE_PATHNAME', 'lumo_collect_tags'
    LANGUAGE C IMMUTABLE STRICT PARALLEL SAFE COST 100;

COMMENT ON FUNCTION lumo_collect_tags(text) IS
    'every distinct tag and identity of the tag graph text, "context" included';
