def pytest_report_header(config):
    import tessary._native

    return f"tessary._native: {tessary._native.__file__}"
