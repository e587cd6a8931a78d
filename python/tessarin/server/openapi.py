"""The OpenAPI description of the JSON API, with the server's own bounds:
its parameters as `tessarin.server.api` declares them, its refusals as
`tessarin.server.errors` types them."""

from __future__ import annotations

from typing import Any

from .. import defaults
from .api import Api
from .errors import REFUSALS

__all__ = ["document"]


def _object(properties: dict[str, Any]) -> dict[str, Any]:
    return {"type": "object", "properties": properties, "required": list(properties)}


_STRING = {"type": "string"}
_INT = {"type": "integer"}
_BOOL = {"type": "boolean"}
_MS = {"type": "number", "description": "Time the index took, in milliseconds."}

COMPLETE_ABOUT = (
    "A term completes a text within max_dist when some prefix of the term lies within "
    "max_dist edits of it; its distance is the least such. The whole text is completed "
    "first (terms may hold several words). If no term completes it and it holds several "
    "words, its last word (the one being typed) is completed instead, and each completion "
    "offers the whole line: the words before it as typed, normalised as the index "
    "normalises terms, then the completed term. A text that ends in a space is completed "
    "whole only. Closest first, then the most searched, then by term; an empty text "
    "completes to nothing."
)


def video_schema() -> dict[str, Any]:
    """A video of /search's answer (`tessarin.server.catalog.video_json`)."""
    share = {"type": "number", "description": "Its part of the video's score."}
    contribution = _object(
        {
            "term": _STRING,
            "distance": _INT,
            "complete": _BOOL,
            "weight": {"type": "number", "description": "The term's weight in the scores."},
            "count": {"type": "integer", "description": "The video's count in the term."},
            "share": share,
        }
    )
    video = _object(
        {
            "video": _STRING,
            "score": {"type": "number"},
            "catalog": {
                "type": ["object", "null"],
                "description": "The video's row in the catalogue, its null cells left out "
                "(title, url and thumbnail are shown by the page); null when the catalogue "
                "lacks the video or the server has none.",
            },
        }
    )
    video["properties"]["explain"] = _object(
        {
            "contributions": {
                "type": "array",
                "description": "The terms and prefixes that lent the most, largest first.",
                "items": contribution,
            },
            "others": _object({"terms": _INT, "share": share}),
        }
    )
    video["properties"]["explain"]["description"] = (
        "With explain=true: what made the score. The shares, with the others', add up to it."
    )
    return video


def document(api: Api, version: str) -> dict[str, Any]:
    segment = _object(
        {
            "text": _STRING,
            "op": {
                "type": "string",
                "enum": ["keep", "replace", "insert", "delete", "complete"],
            },
        }
    )
    segment["properties"]["typed"] = {
        "type": "string",
        "description": "For replace: the typed characters that text replaces.",
    }
    segment["description"] = (
        "A run of the term: typed as it is (keep), or correcting the typed text. "
        "delete carries typed characters that the term lacks. complete (only in "
        "/complete's answers) is the rest of a term past what was typed."
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
            "/complete": {
                "get": {
                    "summary": "Terms that complete what is being typed",
                    "description": COMPLETE_ABOUT,
                    "operationId": "complete",
                    "parameters": [p.openapi() for p in api.complete],
                    "responses": ok("Completions"),
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
                    "summary": "Whether this worker is alive",
                    "operationId": "health",
                    "responses": {"200": {"description": "OK"}},
                }
            },
            "/ready": {
                "get": {
                    "summary": "Whether this worker serves an index loaded and warm",
                    "operationId": "ready",
                    "responses": {
                        "200": {"description": "Ready"},
                        "503": {"description": "Starting, warming up or shutting down"},
                    },
                }
            },
            "/metrics": {
                "get": {
                    "summary": "The server's metrics, in Prometheus's text format",
                    "operationId": "metrics",
                    "responses": {"200": {"description": "OK", "content": {"text/plain": {}}}},
                }
            },
        },
        "components": {
            "schemas": {
                "Error": _object({"error": _STRING, "status": _INT}),
                "Segment": segment,
                "Video": video_schema(),
                "SearchResult": _object(
                    {
                        "query": _STRING,
                        "max_dist": _INT,
                        "limit": _INT,
                        "prefix": _STRING,
                        "transpositions": _BOOL,
                        "offset": _INT,
                        "filter": {
                            "type": "array",
                            "description": "The filters applied, each a column and its values.",
                            "items": _object(
                                {"column": _STRING, "values": {"type": "array", "items": _STRING}}
                            ),
                        },
                        "videos": {
                            "type": "array",
                            "items": {"$ref": "#/components/schemas/Video"},
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
                "Completions": _object(
                    {
                        "query": _STRING,
                        "max_dist": {"oneOf": [_INT, {"type": "string", "enum": [defaults.AUTO]}]},
                        "limit": _INT,
                        "exact_prefix": _INT,
                        "transpositions": _BOOL,
                        "completing": {
                            "type": "string",
                            "description": "The text completed: the whole query (normalised) "
                            "or its last word.",
                        },
                        "completions": {
                            "type": "array",
                            "items": _object(
                                {
                                    "text": {
                                        "type": "string",
                                        "description": "The whole line this completion offers.",
                                    },
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
                "Suggestions": _object(
                    {
                        "query": _STRING,
                        "max_dist": _INT,
                        "limit": _INT,
                        "transpositions": _BOOL,
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
