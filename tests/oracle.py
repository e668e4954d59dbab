"""Plain numpy model of the filter, statement for statement.

Every function performs the same numpy and OpenCV operations, with the same operands in the same
order, as the method it models, so that its results are bit-equal to the module's. It is the
reference the tests compare against; it is deliberately naive and never optimised.
"""

import cv2
import numpy as np


def spatial_kernel(sigma_s):
    x, y = np.meshgrid(range(-3 * sigma_s, 3 * sigma_s + 1), range(-3 * sigma_s, 3 * sigma_s + 1))
    # The quotient is negated, not the squared distance: the order is kept so NaN and signed
    # zeros come out as the module's do.
    return np.exp(-((x * x + y * y) / (2.0 * sigma_s ** 2)))


def range_tables(sigma_r):
    """Return (colour table, gray table): two separately computed, equal 256-entry tables."""
    diff = np.arange(0, 256) / 255.0
    table_r_color = np.exp(-((diff * diff) / (2.0 * sigma_r ** 2)))
    table_r_gray = np.exp(-((diff * diff) / (2.0 * sigma_r ** 2)))
    return table_r_color, table_r_gray


def range_kernel(wndw_size, table_r_color, table_r_gray, tmp_guidance):
    center = (wndw_size ** 2 - 1) // 2
    if tmp_guidance.ndim == 3:
        tmp_guidance = np.expand_dims(tmp_guidance, axis=-1)
    if tmp_guidance.shape[3] == 1:
        table_r = table_r_gray
    else:
        table_r = table_r_color
    diff_abs = np.abs(tmp_guidance - np.expand_dims(tmp_guidance[center], axis=0))
    return np.prod(table_r[diff_abs.astype(np.int32)], axis=3, keepdims=True)


def window_stacks(img, guidance, wndw_size, pad_w):
    """The image and guidance window stacks, shape (wndw_size**2, h, w[, c]), float64."""
    BORDER_TYPE = cv2.BORDER_REFLECT
    padded_img = cv2.copyMakeBorder(img, pad_w, pad_w, pad_w, pad_w, BORDER_TYPE).astype(np.int32)
    padded_guidance = cv2.copyMakeBorder(guidance, pad_w, pad_w, pad_w, pad_w, BORDER_TYPE).astype(np.int32)
    tmp_img = np.repeat(np.expand_dims(np.zeros(img.shape), axis=0), wndw_size ** 2, axis=0)
    tmp_guidance = np.repeat(np.expand_dims(np.zeros(guidance.shape), axis=0), wndw_size ** 2, axis=0)
    h, w, _ = img.shape
    for i in range(wndw_size ** 2):
        offset_x, offset_y = i // wndw_size, i % wndw_size
        tmp_img[i] = padded_img[offset_x:offset_x + h, offset_y:offset_y + w]
        tmp_guidance[i] = padded_guidance[offset_x:offset_x + h, offset_y:offset_y + w]
    return tmp_img, tmp_guidance


def combine(kernel_s, new_kernel_r, tmp_img, wndw_size):
    """Weight, normalise and sum the image stack; the final clip and truncating cast."""
    new_kernel_s = kernel_s.reshape(wndw_size ** 2, 1, 1, 1)
    new_kernel = new_kernel_s * new_kernel_r
    new_kernel_normalize = new_kernel / np.sum(new_kernel, axis=0)
    output = np.sum(new_kernel_normalize * tmp_img, axis=0)
    return np.clip(output, 0, 255).astype(np.uint8)


class Model:
    """The filter object's state and methods, with the module's attribute names.

    `Model.like(f)` copies the attributes of a live filter object, so a test that reassigned
    attributes on the object can ask what the statements give for exactly those values.
    """

    def __init__(self, sigma_s, sigma_r):
        self.sigma_r = sigma_r
        self.sigma_s = sigma_s
        self.wndw_size = 6 * sigma_s + 1
        self.pad_w = 3 * sigma_s
        self.kernel_s = spatial_kernel(sigma_s)
        self.table_r_color, self.table_r_gray = range_tables(sigma_r)

    @classmethod
    def like(cls, obj):
        model = cls.__new__(cls)
        for name in ("sigma_r", "sigma_s", "wndw_size", "pad_w", "kernel_s", "table_r_color", "table_r_gray"):
            setattr(model, name, getattr(obj, name))
        return model

    def get_range_kernel(self, tmp_guidance):
        return range_kernel(self.wndw_size, self.table_r_color, self.table_r_gray, tmp_guidance)

    def joint_bilateral_filter(self, img, guidance):
        tmp_img, tmp_guidance = window_stacks(img, guidance, self.wndw_size, self.pad_w)
        return combine(self.kernel_s, self.get_range_kernel(tmp_guidance), tmp_img, self.wndw_size)


# ---- argument binding -------------------------------------------------------------------------

PARAMETERS = {
    "__init__": ("self", "sigma_s", "sigma_r"),
    "get_range_table": ("self",),
    "get_spatial_kernel": ("self",),
    "get_range_kernel": ("self", "tmp_guidance"),
    "joint_bilateral_filter": ("self", "img", "guidance"),
}
SINGLE_ARGUMENT = {"get_range_table", "get_spatial_kernel"}
FIRST_LINE = {"__init__": 6, "get_range_table": 15, "get_spatial_kernel": 21,
              "get_range_kernel": 26, "joint_bilateral_filter": 38}


def binding_error(method, n_positional, kwargs):
    """Text of the TypeError that binding raises, or None when the body is entered.

    `kwargs` is None for a call without a keyword dict; `n_positional` counts `self`.
    """
    if method in SINGLE_ARGUMENT:
        if kwargs:
            return f"{method}() takes no keyword arguments"
        if n_positional != 1:
            return f"{method}() takes exactly one argument ({n_positional} given)"
        return None
    params = PARAMETERS[method]
    n = len(params)

    def count_error(given):
        return f"{method}() takes exactly {n} positional argument{'s' if n != 1 else ''} ({given} given)"

    if kwargs is None:
        return None if n_positional == n else count_error(n_positional)
    if n_positional > n:
        return count_error(n_positional)
    for j in range(n_positional, n):
        if params[j] not in kwargs:
            return count_error(j)
    if len(kwargs) > n - n_positional:
        for key in kwargs:
            if not isinstance(key, str):
                return f"{method}() keywords must be strings"
            if key in params[n_positional:]:
                continue
            if key in params[:n_positional]:
                return f"{method}() got multiple values for keyword argument '{key}'"
            return f"{method}() got an unexpected keyword argument '{key}'"
    return None
