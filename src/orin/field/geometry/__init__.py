"""RGeoJSON geometries: the member kinds and the type table ``_RGJ_TYPES``."""
