"""Risk fields over GeoJSON-kind obstacles with anisotropic repulsion metrics."""
