"""Plain numpy model of sovelk_tools.joint_bilateral, statement for statement.

The weights and the per-pixel arithmetic are the class's (oracle.py): spatial kernel times the
range kernel of the guidance stack, divided by their sum over the offsets, times the image
stack, summed over the offsets. Two things differ from the class, as the function documents:
the image is padded in its own dtype (a float is not truncated) with the chosen border, and the
sums over the offsets are written out in offset order, which is what np.sum does for every image
but a 1x1 one. A guidance of another dtype than uint8 is weighed by the range rule, written out
here in numpy's float32 arithmetic from its documented steps. Deliberately naive.
"""

import numpy as np

import oracle

# np.pad's names for the border modes; np.pad keeps reflecting (or wrapping) for borders wider
# than the axis, as OpenCV does (a test checks it against cv2.copyMakeBorder).
NP_PAD_MODES = {"reflect": "symmetric", "mirror": "reflect", "nearest": "edge", "wrap": "wrap", "constant": "constant"}


def weights(sigma_s, sigma_r):
    """(kernel_s, table_r_color, table_r_gray) for the window radius int(3 sigma_s + 0.5)."""
    if isinstance(sigma_s, (int, np.integer)):
        kernel_s = oracle.spatial_kernel(sigma_s)
    else:
        radius = int(3.0 * sigma_s + 0.5)
        x, y = np.meshgrid(range(-radius, radius + 1), range(-radius, radius + 1))
        kernel_s = np.exp(-((x * x + y * y) / (2.0 * sigma_s ** 2)))
    return (kernel_s,) + oracle.range_tables(sigma_r)


SCALES = {np.dtype(np.uint16): 65535.0, np.dtype(np.int16): 32767.0, np.dtype(np.int32): 2147483647.0,
          np.dtype(np.float32): 1.0, np.dtype(np.float64): 1.0}
LN2 = float.fromhex("0x1.62e42fefa39efp-1")
POLY = np.array([float.fromhex(x) for x in ("0x1p+0", "0x1.62e432p-4", "0x1.ec0f8ep-9", "0x1.c6a59ap-14")],
                np.float32)
EIGHTHS = np.array([float.fromhex(x) for x in ("0x1p+0", "0x1.172b84p+0", "0x1.306fe0p+0", "0x1.4bfdaep+0",
                                               "0x1.6a09e6p+0", "0x1.8ace54p+0", "0x1.ae89fap+0", "0x1.d5818ep+0")],
                   np.float32)


def rule_constants(sigma):
    kappa8 = -8.0 / (2.0 * sigma * sigma * LN2)
    kappa_hi = np.float32(kappa8)
    return kappa_hi, np.float32(kappa8 - float(kappa_hi)), np.float32(960.0 / -kappa8)


def rule_weight(diffs, sigma):
    """The range rule's weights of float32 differences, shape (..., channels)."""
    kappa_hi, kappa_lo, cap = rule_constants(sigma)
    with np.errstate(all="ignore"):  # squares of far values may overflow: the cap takes them
        d2 = diffs[..., 0] * diffs[..., 0]
        for k in range(1, diffs.shape[-1]):
            d2 = d2 + diffs[..., k] * diffs[..., k]
        d2 = np.minimum(d2, cap)
    hi = kappa_hi * d2
    residual = (np.float64(kappa_hi) * d2.astype(np.float64) - hi.astype(np.float64)).astype(np.float32)
    lo = residual + kappa_lo * d2
    n = np.rint(hi)
    f = (hi - n) + lo
    q = POLY[3] * f + POLY[2]
    q = q * f + POLY[1]
    q = q * f + POLY[0]
    ni = n.astype(np.int32)
    j = ni & 7
    return np.ldexp(EIGHTHS[j] * q, (ni - j) // 8)


def pad(array, width, mode, cval):
    widths = ((width, width), (width, width), (0, 0))
    if mode == "constant":
        return np.pad(array, widths, mode="constant", constant_values=cval)
    return np.pad(array, widths, mode=NP_PAD_MODES[mode])


def window_stack(padded, wndw_size, h, w):
    """The padded array's windows, offset by offset: shape (wndw_size**2, h, w, channels)."""
    stack = np.zeros((wndw_size ** 2, h, w, padded.shape[2]))
    for i in range(wndw_size ** 2):
        offset_x, offset_y = i // wndw_size, i % wndw_size
        stack[i] = padded[offset_x:offset_x + h, offset_y:offset_y + w]
    return stack


def weigh(kernel_s, tmp_img, tmp_guidance, centre, guidance_dtype, sigma_r):
    """The weighted mean of the image stack under the spatial kernel and the range weights of the
    guidance stack against `centre` (h, w, gc), shape (h, w, c). Where every weight is 0 (only
    when the centre is no sample's), 0 / 0 gives NaN."""
    wndw_size = kernel_s.shape[0]
    _, table_r_color, table_r_gray = weights(1, sigma_r)
    if guidance_dtype == np.uint8:
        table_r = table_r_gray if tmp_guidance.shape[3] == 1 else table_r_color
        diff_abs = np.abs(tmp_guidance - np.expand_dims(centre, axis=0))
        new_kernel_r = np.prod(table_r[diff_abs.astype(np.int32)], axis=3, keepdims=True)
    else:
        # Each difference taken exactly (float64 holds it, or rounds it as float32 would), then float32.
        diffs = (tmp_guidance - centre).astype(np.float32)
        new_kernel_r = rule_weight(diffs, float(sigma_r) * SCALES[guidance_dtype]).astype(np.float64)[..., None]
    new_kernel = kernel_s.reshape(wndw_size ** 2, 1, 1, 1) * new_kernel_r
    total = np.zeros(new_kernel.shape[1:])
    for plane in new_kernel:
        total = total + plane
    with np.errstate(invalid="ignore"):
        new_kernel_normalize = new_kernel / total
    output = np.zeros(tmp_img.shape[1:])
    for plane in new_kernel_normalize * tmp_img:
        output = output + plane
    return output


def weighted_mean(image, guidance, sigma_s, sigma_r, mode="reflect", cval=0.0, guidance_cval=0):
    """The float64 result, shape (h, w, c)."""
    img = image.reshape(image.shape[:2] + (-1,))
    guid = guidance.reshape(guidance.shape[:2] + (-1,))
    h, w = img.shape[:2]
    kernel_s = weights(sigma_s, sigma_r)[0]
    wndw_size = kernel_s.shape[0]
    pad_w = wndw_size // 2
    padded_img = pad(img.astype(np.float64), pad_w, mode, cval)
    # Padded in its own dtype, then exactly as float64.
    padded_guidance = pad(guid, pad_w, mode, np.asarray(guidance_cval).astype(guid.dtype)).astype(np.float64)
    tmp_img = window_stack(padded_img, wndw_size, h, w)
    tmp_guidance = window_stack(padded_guidance, wndw_size, h, w)
    centre = tmp_guidance[(wndw_size ** 2 - 1) // 2]
    return weigh(kernel_s, tmp_img, tmp_guidance, centre, guid.dtype, sigma_r)


def phase_kernels(sigma_s, factor):
    """The spatial kernel of each phase (py, px) of the upsampling factor: shape (f, f, side, side)."""
    radius = 3 * sigma_s if isinstance(sigma_s, (int, np.integer)) else int(3.0 * sigma_s + 0.5)
    offsets = np.arange(-radius, radius + 1)
    kernels = np.zeros((factor, factor, 2 * radius + 1, 2 * radius + 1))
    for py in range(factor):
        for px in range(factor):
            # Where the output pixel lies on the low grid, from the low pixel it is in.
            dy, dx = (py + 0.5) / factor - 0.5, (px + 0.5) / factor - 0.5
            cy, cx = np.meshgrid(offsets - dy, offsets - dx, indexing="ij")
            kernels[py, px] = np.exp(-((cx * cx + cy * cy) / (2.0 * sigma_s ** 2)))
    return kernels


def upsampled_mean(low, guidance, sigma_s, sigma_r, mode="reflect", cval=0.0, guidance_cval=0, hole=None):
    """joint_bilateral_upsample's float64 result, shape (f h, f w, c)."""
    img = low.reshape(low.shape[:2] + (-1,))
    guid = guidance.reshape(guidance.shape[:2] + (-1,))
    h, w, c = img.shape
    factor = guid.shape[0] // h
    kernels = phase_kernels(sigma_s, factor)
    wndw_size = kernels.shape[2]
    pad_w = wndw_size // 2
    padded_img = pad(img.astype(np.float64), pad_w, mode, cval)
    if hole is not None:  # border samples too: a constant border of the hole value is holes
        valid = ~np.all(padded_img == hole, axis=2, keepdims=True)
        padded_img = np.concatenate([np.where(valid, padded_img, 0.0), valid.astype(np.float64)], axis=2)
    # Each sample's guidance is at its own full-resolution place.
    at = (factor - 1) // 2
    samples = guid[at::factor, at::factor]
    padded_guidance = pad(samples, pad_w, mode, np.asarray(guidance_cval).astype(guid.dtype)).astype(np.float64)
    tmp_img = window_stack(padded_img, wndw_size, h, w)
    tmp_guidance = window_stack(padded_guidance, wndw_size, h, w)
    output = np.zeros((factor * h, factor * w, padded_img.shape[2]))
    for py in range(factor):
        for px in range(factor):
            centre = guid[py::factor, px::factor].astype(np.float64)
            phase = weigh(kernels[py, px], tmp_img, tmp_guidance, centre, guid.dtype, sigma_r)
            # Where every weight vanished: the nearest sample, the window's middle one.
            vanished = np.isnan(phase).any(axis=2)
            phase[vanished] = tmp_img[(wndw_size ** 2 - 1) // 2][vanished]
            output[py::factor, px::factor] = phase
    if hole is None:
        return output
    share = output[:, :, c:]
    none = ~(share > 0)
    return np.where(none, hole, output[:, :, :c] / np.where(none, 1.0, share))


def convert(output, dtype, rounding="nearest"):
    """The float64 result in `dtype`: floats rounded to nearest, integers clipped and rounded
    half to even (np.rint) or truncated."""
    dtype = np.dtype(dtype)
    if dtype.kind == "f":
        return output.astype(dtype)
    info = np.iinfo(dtype)
    clipped = np.clip(output, info.min, info.max)
    return (np.rint(clipped) if rounding == "nearest" else clipped).astype(dtype)


def joint_bilateral(image, guidance, sigma_s, sigma_r, mode="reflect", cval=0.0, guidance_cval=0,
                    dtype=None, rounding="nearest"):
    output = weighted_mean(image, guidance, sigma_s, sigma_r, mode, cval, guidance_cval)
    return convert(output, image.dtype if dtype is None else dtype, rounding).reshape(image.shape)


def joint_bilateral_upsample(low, guidance, sigma_s, sigma_r, mode="reflect", cval=0.0, guidance_cval=0,
                             dtype=None, rounding="nearest", hole=None):
    output = upsampled_mean(low, guidance, sigma_s, sigma_r, mode, cval, guidance_cval, hole)
    shape = guidance.shape[:2] + low.shape[2:]
    return convert(output, low.dtype if dtype is None else dtype, rounding).reshape(shape)
