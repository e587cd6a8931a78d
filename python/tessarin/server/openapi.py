"""The OpenAPI description of the JSON API, with the server's own bounds."""

from __future__ import annotations

from typing import Any

from .config import Limits

__all__ = ["document"]


def _integer(name: str, default: int, low: int, high: int, about: str) -> dict[str, Any]:
    schema = {"type": "integer", "minimum": low, "maximum": high, "default": default}
    return {"name": name, "in": "query", "required": False, "schema": schema, "description": about}


def _object(properties: dict[str, Any]) -> dict[str, Any]:
    return {"type": "object", "properties": properties, "required": list(properties)}


_STRING = {"type": "string"}
_INT = {"type": "integer"}
_MS = {"type": "number", "description": "Time the index took, in milliseconds."}


def document(limits: Limits, version: str) -> dict[str, Any]:
    query = {
        "name": "q",
        "in": "query",
        "required": True,
        "schema": {"type": "string", "maxLength": limits.max_query},
        "description": "What the user typed, UTF-8. Empty matches nothing.",
    }
    max_dist = _integer(
        "max_dist",
        min(1, limits.max_dist),
        0,
        limits.max_dist,
        "Edits allowed: insertions, deletions and substitutions of one character.",
    )
    segment = _object(
        {
            "text": _STRING,
            "op": {"type": "string", "enum": ["keep", "replace", "insert", "delete"]},
        }
    )
    segment["properties"]["typed"] = {
        "type": "string",
        "description": "For replace: the typed characters that text replaces.",
    }
    segment["description"] = (
        "A run of the term: typed as it is (keep), or correcting the typed text. "
        "delete carries typed characters that the term lacks."
    )
    segments = {"type": "array", "items": {"$ref": "#/components/schemas/Segment"}}
    errors = {
        status: {
            "description": about,
            "content": {"application/json": {"schema": {"$ref": "#/components/schemas/Error"}}},
        }
        for status, about in (
            (
                "400",
                "The query string cannot be read: not UTF-8, a malformed escape, "
                "an unknown or repeated parameter, a value of the wrong kind.",
            ),
            ("414", "The query string is too long."),
            ("422", "A value lies outside the bounds this server allows."),
            ("503", "Too many queries are waiting; retry after the Retry-After header."),
        )
    }

    def ok(schema: str) -> dict[str, Any]:
        return {
            "200": {
                "description": "OK",
                "content": {
                    "application/json": {"schema": {"$ref": f"#/components/schemas/{schema}"}}
                },
            },
            **errors,
        }

    return {
        "openapi": "3.1.0",
        "info": {
            "title": "tessarin",
            "version": version,
            "description": "Typo-tolerant search-as-you-type over search terms and the "
            "videos they lead to.",
        },
        "paths": {
            "/search": {
                "get": {
                    "summary": "Rank the videos for what was typed",
                    "operationId": "search",
                    "parameters": [
                        query,
                        max_dist,
                        _integer(
                            "limit",
                            limits.search_limit,
                            1,
                            limits.max_limit,
                            "At most this many videos.",
                        ),
                        {
                            "name": "prefix",
                            "in": "query",
                            "required": False,
                            "schema": {
                                "type": "string",
                                "enum": ["auto", "true", "false"],
                                "default": "auto",
                            },
                            "description": "Pool partial words (prefix nodes): always, never, "
                            "or only when no complete term matches.",
                        },
                        {
                            "name": "min_score",
                            "in": "query",
                            "required": False,
                            "schema": {
                                "type": "number",
                                "minimum": 0,
                                "maximum": 1,
                                "default": 0.01,
                            },
                            "description": "Leave out videos scoring below this.",
                        },
                    ],
                    "responses": ok("SearchResult"),
                }
            },
            "/suggest": {
                "get": {
                    "summary": "Indexed terms close to what was typed",
                    "description": "Closest first, then the most searched, then by term.",
                    "operationId": "suggest",
                    "parameters": [
                        query,
                        max_dist,
                        _integer(
                            "limit",
                            limits.suggest_limit,
                            1,
                            limits.max_limit,
                            "At most this many terms.",
                        ),
                    ],
                    "responses": ok("Suggestions"),
                }
            },
            "/info": {
                "get": {
                    "summary": "The index served, the bounds on requests, this worker",
                    "operationId": "info",
                    "responses": {"200": {"description": "OK"}},
                }
            },
            "/health": {
                "get": {
                    "summary": "Whether this worker serves",
                    "operationId": "health",
                    "responses": {"200": {"description": "OK"}},
                }
            },
        },
        "components": {
            "schemas": {
                "Error": _object({"error": _STRING, "status": _INT}),
                "Segment": segment,
                "SearchResult": _object(
                    {
                        "query": _STRING,
                        "max_dist": _INT,
                        "limit": _INT,
                        "prefix": _STRING,
                        "videos": {
                            "type": "array",
                            "items": _object({"video": _STRING, "score": {"type": "number"}}),
                        },
                        "matched": {
                            "type": "array",
                            "description": "The nearest, most searched of the terms or "
                            "prefixes whose videos were pooled.",
                            "items": _object(
                                {
                                    "term": _STRING,
                                    "distance": _INT,
                                    "count": _INT,
                                    "complete": {"type": "boolean"},
                                    "segments": segments,
                                }
                            ),
                        },
                        "took_ms": _MS,
                    }
                ),
                "Suggestions": _object(
                    {
                        "query": _STRING,
                        "max_dist": _INT,
                        "limit": _INT,
                        "suggestions": {
                            "type": "array",
                            "items": _object(
                                {
                                    "term": _STRING,
                                    "distance": _INT,
                                    "count": _INT,
                                    "segments": segments,
                                }
                            ),
                        },
                        "took_ms": _MS,
                    }
                ),
            }
        },
    }
