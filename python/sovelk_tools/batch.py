"""Batch mode's plan: which image goes with which guidance, and where each result goes.

The whole batch is refused before any work when something is off that would
fail every file or lose one (an output that is also an input, two images for
one output name, an existing output without --overwrite or --skip-existing).
An image without a guidance (none, or several of its stem) fails alone.
"""

from __future__ import annotations

import os
import stat
from dataclasses import dataclass
from typing import Dict, List, Optional, Sequence

from .errors import UserError, os_reason
from .imagefiles import looks_like_image, reach
from .outputs import can_encode


@dataclass
class Job:
    image: str
    guidance: Optional[str]
    output: str
    problem: Optional[str] = None  # why this file fails without being read (no guidance for it)


@dataclass
class Plan:
    jobs: List[Job]
    skipped: List[str]  # outputs already there, left alone under --skip-existing


def _is_candidate(path: str) -> bool:
    """Whether a file in a batch directory is meant as an image.

    By name as well as by content: a damaged file named like an image is a
    failure to report, not a file to pass over in silence.
    """
    name = os.path.basename(path)
    if name.startswith(".") or not os.path.isfile(path):
        return False
    return can_encode(path) or looks_like_image(path)


def _listdir(directory: str, role: str) -> List[str]:
    try:
        return sorted(os.listdir(directory))
    except OSError as exc:
        raise UserError(f"{role} '{directory}' cannot be read: {os_reason(exc)}") from None


def _expand_inputs(inputs: Sequence[str]) -> List[str]:
    images: List[str] = []
    for item in inputs:
        if stat.S_ISDIR(reach(item, "image").st_mode):
            found = [
                os.path.join(item, n) for n in _listdir(item, "image directory")
                if _is_candidate(os.path.join(item, n))
            ]
            if not found:
                raise UserError(f"directory '{item}' holds no image files")
            images.extend(found)
        else:
            images.append(item)
    return images


def _find_guidance(image: str, gdir: str, listing: List[str]) -> str:
    name = os.path.basename(image)
    exact = os.path.join(gdir, name)
    if os.path.isfile(exact):
        return exact
    stem = os.path.splitext(name)[0]
    same_stem = [n for n in listing if os.path.splitext(n)[0] == stem]
    if len(same_stem) == 1:
        return os.path.join(gdir, same_stem[0])
    if not same_stem:
        raise UserError(f"no guidance for '{image}' in '{gdir}' (looked for '{name}' or '{stem}.*')")
    raise UserError(
        f"guidance for '{image}' is ambiguous in '{gdir}': {', '.join(sorted(same_stem))}"
    )


def _same_path(a: str, b: str) -> bool:
    try:
        return os.path.samefile(a, b)
    except OSError:
        return os.path.abspath(a) == os.path.abspath(b)


def plan_batch(
    inputs: Sequence[str], gdir: Optional[str], outdir: str, fmt: Optional[str], overwrite: bool,
    skip_existing: bool = False,
) -> Plan:
    """Match images to guidance and outputs, and refuse the whole batch before any work if anything is off.
    Without ``gdir`` each image is guided by itself (its job's guidance is None)."""
    if gdir is not None and not stat.S_ISDIR(reach(gdir, "guidance directory").st_mode):
        raise UserError(f"guidance directory '{gdir}' is not a directory")
    if os.path.exists(outdir) and not os.path.isdir(outdir):
        raise UserError(f"output '{outdir}' exists and is not a directory (batch mode writes into a directory)")
    listing = [] if gdir is None else [n for n in _listdir(gdir, "guidance directory")
                                       if _is_candidate(os.path.join(gdir, n))]
    ext = None
    if fmt:
        ext = fmt if fmt.startswith(".") else "." + fmt
    jobs: List[Job] = []
    seen: Dict[str, str] = {}
    for image in _expand_inputs(inputs):
        guidance: Optional[str] = None
        problem: Optional[str] = None
        try:
            guidance = None if gdir is None else _find_guidance(image, gdir, listing)
        except UserError as exc:
            problem = str(exc)
        stem, own_ext = os.path.splitext(os.path.basename(image))
        out = os.path.join(outdir, stem + (ext or own_ext))
        key = os.path.abspath(out)
        if key in seen:
            raise UserError(f"'{seen[key]}' and '{image}' would both be written to '{out}'")
        seen[key] = image
        jobs.append(Job(image, guidance, out, problem))
    inputs_used = {os.path.abspath(p) for j in jobs for p in (j.image, j.guidance) if p is not None}
    todo: List[Job] = []
    skipped: List[str] = []
    for job in jobs:
        if os.path.exists(job.output):
            if any(_same_path(job.output, p) for p in inputs_used):
                raise UserError(f"output '{job.output}' is also an input of this batch; choose another -o")
            if skip_existing:
                skipped.append(job.output)
                continue
            if not overwrite:
                raise UserError(
                    f"output '{job.output}' already exists (use --overwrite to replace it, "
                    "or --skip-existing to keep it)"
                )
        if not can_encode(job.output):
            raise UserError(f"output '{job.output}': OpenCV has no encoder for '{os.path.splitext(job.output)[1]}'")
        todo.append(job)
    return Plan(todo, skipped)
