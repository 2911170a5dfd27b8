"""Runs in the new project directory once its files are written: a project
created without datafiles gets no datafile."""
import os

USE_DATAFILE = "{{ cookiecutter.use_datafile }}"
DATAFILE = "{{ cookiecutter.project_name }}_datafile.yaml"

if USE_DATAFILE.strip().lower() not in ("true", "yes", "y", "1"):
    os.remove(DATAFILE)
