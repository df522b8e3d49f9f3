"""corvalib: the small toolkit that the dorvex modules import.

Submodules: app_logging (module loggers), fileMg (files, folders and JSON
configuration), parseTools (file-name patterns), excelTools (cell-addressed
tables), dataIO (atomic file writes).
"""
