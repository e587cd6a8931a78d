"""The OpenAPI description of the JSON API, with the server's own bounds:
its parameters as `tessarin.server.api` declares them, its refusals as
`tessarin.server.errors` types them."""

from __future__ import annotations

from typing import Any

from .api import Api
from .errors import REFUSALS

__all__ = ["document"]


def _object(properties: dict[str, Any]) -> dict[str, Any]:
    return {"type": "object", "properties": properties, "required": list(properties)}


_STRING = {"type": "string"}
_INT = {"type": "integer"}
_MS = {"type": "number", "description": "Time the index took, in milliseconds."}


def document(api: Api, version: str) -> dict[str, Any]:
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
        str(refusal.status): {
            "description": refusal.about,
            "content": {"application/json": {"schema": {"$ref": "#/components/schemas/Error"}}},
        }
        for refusal in REFUSALS
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
                    "parameters": [p.openapi() for p in api.search],
                    "responses": ok("SearchResult"),
                }
            },
            "/suggest": {
                "get": {
                    "summary": "Indexed terms close to what was typed",
                    "description": "Closest first, then the most searched, then by term.",
                    "operationId": "suggest",
                    "parameters": [p.openapi() for p in api.suggest],
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
