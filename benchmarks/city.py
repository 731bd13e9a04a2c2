"""Synthetic cities: rotated rectangular buildings, each with its own rotated
anisotropic repulsion, scattered at a given density."""

from __future__ import annotations

import math

import numpy as np

from orin.field.geometry import Polygon


def rotation(angle: float) -> np.ndarray:
    c, s = math.cos(angle), math.sin(angle)
    return np.array([[c, -s], [s, c]])


def city(buildings: int, *, per_km2: float = 1000.0, seed: int = 0) -> tuple[list[Polygon], tuple[float, ...]]:
    """``buildings`` polygons over a square of side sqrt(buildings / per_km2) km.

    Returns the buildings and the square's bounds (xmin, ymin, xmax, ymax) in metres.
    Buildings are 8-25 m a side; their repulsions have principal lengths of
    3-10 m (sqrt of the eigenvalues), at random angles.
    """
    rng = np.random.default_rng(seed)
    side = math.sqrt(buildings / per_km2) * 1000.0
    corners = np.array([[-0.5, -0.5], [0.5, -0.5], [0.5, 0.5], [-0.5, 0.5], [-0.5, -0.5]])
    out = []
    for _ in range(buildings):
        centre = rng.uniform(0.0, side, 2)
        size = rng.uniform(8.0, 25.0, 2)
        ring = centre + (corners * size) @ rotation(rng.uniform(0, math.pi)).T
        rot = rotation(rng.uniform(0, math.pi))
        repulsion = rot @ np.diag(rng.uniform(3.0, 10.0, 2) ** 2) @ rot.T
        repulsion = 0.5 * (repulsion + repulsion.T)
        out.append(Polygon(coordinates=[ring.tolist()], repulsion=repulsion.tolist()))
    return out, (0.0, 0.0, side, side)


def smooth_outline(vertices: int) -> list[list[float]]:
    """r = 0.4 + 0.04 sin(5t) + 0.01 sin(37t) around (0.5, 0.5), closed."""
    t = np.linspace(0.0, 2.0 * math.pi, vertices + 1)
    r = 0.4 + 0.04 * np.sin(5 * t) + 0.01 * np.sin(37 * t)
    pts = np.column_stack([0.5 + r * np.cos(t), 0.5 + r * np.sin(t)])
    pts[-1] = pts[0]
    return pts.tolist()


def star(vertices: int, seed: int = 0) -> list[list[float]]:
    """0.5 + r (cos, sin) with random r in [0.3, 0.5] at evenly spaced angles, closed."""
    rng = np.random.default_rng(seed)
    t = np.linspace(0.0, 2.0 * math.pi, vertices, endpoint=False)
    r = rng.uniform(0.3, 0.5, vertices)
    pts = np.column_stack([0.5 + r * np.cos(t), 0.5 + r * np.sin(t)])
    return np.vstack([pts, pts[:1]]).tolist()
