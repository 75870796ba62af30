"""Small tables bundled with quorvix for demonstrations and tests."""
