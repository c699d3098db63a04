-- lumo_query 0.2.0: a stored graph type, a query type and the operator
-- lumo_graph @@ lumo_query. A new installation runs the 0.1.0 script and
-- then this one; lumo_is_match and lumo_collect_tags stay as they were.
\echo Use "ALTER EXTENSION lumo_query UPDATE" to load this file. \quit

-- A tag graph, read and checked once when it is stored: the value holds
-- its text and its index, which matching reads without parsing.
CREATE TYPE lumo_graph;

CREATE FUNCTION lumo_graph_in(cstring) RETURNS lumo_graph
    AS 'MODULE_PATHNAME', 'lumo_graph_in'
    LANGUAGE C IMMUTABLE STRICT PARALLEL SAFE;

CREATE FUNCTION lumo_graph_out(lumo_graph) RETURNS cstring
    AS 'MODULE_PATHNAME', 'lumo_graph_out'
    LANGUAGE C IMMUTABLE STRICT PARALLEL SAFE;

CREATE FUNCTION lumo_graph_recv(internal) RETURNS lumo_graph
    AS 'MODULE_PATHNAME', 'lumo_graph_recv'
    LANGUAGE C IMMUTABLE STRICT PARALLEL SAFE;

CREATE FUNCTION lumo_graph_send(lumo_graph) RETURNS bytea
    AS 'MODULE_PATHNAME', 'lumo_graph_send'
    LANGUAGE C IMMUTABLE STRICT PARALLEL SAFE;

CREATE TYPE lumo_graph (
    INPUT = lumo_graph_in,
    OUTPUT = lumo_graph_out,
    RECEIVE = lumo_graph_recv,
    SEND = lumo_graph_send,
    INTERNALLENGTH = VARIABLE,
    ALIGNMENT = int4,
    STORAGE = extended
);

COMMENT ON TYPE lumo_graph IS
    'a lumo_query tag graph, checked and indexed when stored; its text is kept';

-- A query text, checked when it is made; compiled once per call site.
CREATE TYPE lumo_query;

CREATE FUNCTION lumo_query_in(cstring) RETURNS lumo_query
    AS 'MODULE_PATHNAME', 'lumo_query_in'
    LANGUAGE C IMMUTABLE STRICT PARALLEL SAFE;

CREATE FUNCTION lumo_query_out(lumo_query) RETURNS cstring
    AS 'MODULE_PATHNAME', 'lumo_query_out'
    LANGUAGE C IMMUTABLE STRICT PARALLEL SAFE;

CREATE FUNCTION lumo_query_recv(internal) RETURNS lumo_query
    AS 'MODULE_PATHNAME', 'lumo_query_recv'
    LANGUAGE C IMMUTABLE STRICT PARALLEL SAFE;

CREATE FUNCTION lumo_query_send(lumo_query) RETURNS bytea
    AS 'MODULE_PATHNAME', 'lumo_query_send'
    LANGUAGE C IMMUTABLE STRICT PARALLEL SAFE;

CREATE TYPE lumo_query (
    INPUT = lumo_query_in,
    OUTPUT = lumo_query_out,
    RECEIVE = lumo_query_recv,
    SEND = lumo_query_send,
    INTERNALLENGTH = VARIABLE,
    ALIGNMENT = int4,
    STORAGE = extended
);

COMMENT ON TYPE lumo_query IS 'a lumo_query query, checked when made';

-- Texts become graphs and queries wherever a value is assigned (INSERT,
-- UPDATE, function arguments); the other way needs an explicit cast.
CREATE CAST (text AS lumo_graph) WITH INOUT AS ASSIGNMENT;
CREATE CAST (lumo_graph AS text) WITH INOUT;
CREATE CAST (text AS lumo_query) WITH INOUT AS ASSIGNMENT;
CREATE CAST (lumo_query AS text) WITH INOUT;

-- Matching a stored graph reads its index and searches: some hundred
-- nanoseconds to microseconds, more than an ordinary operator, far less
-- than lumo_is_match, which parses the graph first.
CREATE FUNCTION lumo_match(graph lumo_graph, query lumo_query) RETURNS boolean
    AS 'MODULE_PATHNAME', 'lumo_graph_match'
    LANGUAGE C IMMUTABLE STRICT PARALLEL SAFE COST 20;

COMMENT ON FUNCTION lumo_match(lumo_graph, lumo_query) IS
    'true when the query matches the graph (the @@ operator)';

CREATE OPERATOR @@ (
    LEFTARG = lumo_graph,
    RIGHTARG = lumo_query,
    FUNCTION = lumo_match,
    RESTRICT = contsel,
    JOIN = contjoinsel
);

CREATE FUNCTION lumo_tags(graph lumo_graph) RETURNS text[]
    AS 'MODULE_PATHNAME', 'lumo_graph_tags'
    LANGUAGE C IMMUTABLE STRICT PARALLEL SAFE COST 20;

COMMENT ON FUNCTION lumo_tags(lumo_graph) IS
    'every distinct tag and identity of the graph, "context" included';

-- The GIN operator class, the default for lumo_graph: CREATE INDEX ... USING
-- gin (graph), and the planner serves graph @@ query from it. Its keys are
-- 32-bit keys of a graph's tags and identities; a query's keys and the
-- condition over them are those of its to_sql condition, so the index never
-- drops a matching row, and @@ rechecks every row it finds.
CREATE FUNCTION lumo_gin_extract_graph(lumo_graph, internal, internal) RETURNS internal
    AS 'MODULE_PATHNAME', 'lumo_gin_extract_graph'
    LANGUAGE C IMMUTABLE STRICT PARALLEL SAFE;

CREATE FUNCTION lumo_gin_extract_query(lumo_query, internal, int2, internal, internal,
                                       internal, internal) RETURNS internal
    AS 'MODULE_PATHNAME', 'lumo_gin_extract_query'
    LANGUAGE C IMMUTABLE STRICT PARALLEL SAFE;

CREATE FUNCTION lumo_gin_consistent(internal, int2, lumo_query, int4, internal, internal,
                                    internal, internal) RETURNS boolean
    AS 'MODULE_PATHNAME', 'lumo_gin_consistent'
    LANGUAGE C IMMUTABLE STRICT PARALLEL SAFE;

CREATE FUNCTION lumo_gin_triconsistent(internal, int2, lumo_query, int4, internal, internal,
                                       internal) RETURNS "char"
    AS 'MODULE_PATHNAME', 'lumo_gin_triconsistent'
    LANGUAGE C IMMUTABLE STRICT PARALLEL SAFE;

CREATE OPERATOR CLASS lumo_graph_ops
    DEFAULT FOR TYPE lumo_graph USING gin AS
        OPERATOR 1 @@ (lumo_graph, lumo_query),
        FUNCTION 1 btint4cmp(int4, int4),
        FUNCTION 2 lumo_gin_extract_graph(lumo_graph, internal, internal),
        FUNCTION 3 lumo_gin_extract_query(lumo_query, internal, int2, internal, internal,
                                          internal, internal),
        FUNCTION 4 lumo_gin_consistent(internal, int2, lumo_query, int4, internal, internal,
                                       internal, internal),
        FUNCTION 6 lumo_gin_triconsistent(internal, int2, lumo_query, int4, internal,
                                          internal, internal),
        STORAGE int4;
