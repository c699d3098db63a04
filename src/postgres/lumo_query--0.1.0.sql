-- lumo_query 0.1.0: exact matching and tag collection from the C++ core.
\echo Use "CREATE EXTENSION lumo_query" to load this file. \quit

-- Parsing a graph and searching it costs far more than an operator: the
-- planner should evaluate cheaper conditions (the tags prefilter) first and
-- count this work when it weighs a parallel plan.
CREATE FUNCTION lumo_is_match(query text, graph text) RETURNS boolean
    AS 'MODULE_PATHNAME', 'lumo_is_match'
    LANGUAGE C IMMUTABLE STRICT PARALLEL SAFE COST 1000;

COMMENT ON FUNCTION lumo_is_match(text, text) IS
    'true when the tag graph text matches the query text; both are validated';

CREATE FUNCTION lumo_collect_tags(graph text) RETURNS text[]
    AS 'MODULE_PATHNAME', 'lumo_collect_tags'
    LANGUAGE C IMMUTABLE STRICT PARALLEL SAFE COST 1000;

COMMENT ON FUNCTION lumo_collect_tags(text) IS
    'every distinct tag and identity of the tag graph text, "context" included';
