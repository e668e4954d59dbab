// get_spatial_kernel: the unnormalised Gaussian of the window offsets,
// exp(-(dx*dx + dy*dy) / (2 sigma_s^2)), over a square reaching 3 sigma_s from its centre.
#include "glue/memory_rule.hpp"
#include "methods/method_table.hpp"
#include "module/lines.hpp"
#include "module/statements.hpp"

namespace sovelk {

namespace {

// range(-3 * sigma_s, 3 * sigma_s + 1), reading sigma_s afresh for each bound.
Ref offset_range(PyObject* self) {
    Ref sigma = get_attr(self, g_const.sigma_s);
    Ref low = mul(g_const.int_minus_3, sigma.get());
    sigma = get_attr(self, g_const.sigma_s);
    Ref three_sigma = mul(g_const.int_3, sigma.get());
    Ref high = add(three_sigma.get(), g_const.int_1);
    return call(g_state.range, {low.get(), high.get()});
}

// numpy's meshgrid of the two ranges, and the arithmetic of the next statement, hold eight arrays
// of nx * ny eight-byte values at once (both grids, both squares, their sum, the quotient, its
// negation and the kernel): 2.2 GiB at sigma_s 1000. numpy asks for the pages lazily, so a kernel
// beyond the machine would get the process killed while it is filled; refuse it before anything
// is allocated. Only numpy's own meshgrid is judged, and only builtin ranges, whose length is read
// without running any code; anything else is left to run as written.
void refuse_grids_beyond_memory(PyObject* np, PyObject* columns, PyObject* rows) {
    if (np != g_state.numpy || !PyRange_Check(columns) || !PyRange_Check(rows)) return;
    const Py_ssize_t nx = PyObject_Size(columns);
    const Py_ssize_t ny = nx < 0 ? -1 : PyObject_Size(rows);
    if (nx < 0 || ny < 0) {  // longer than Py_ssize_t: numpy reports that itself
        PyErr_Clear();
        return;
    }
    require_memory(8.0 * 8.0 * static_cast<double>(nx) * static_cast<double>(ny), "get_spatial_kernel");
}

}  // namespace

PyObject* get_spatial_kernel_body(PyObject* const* params, StatementLine& line) {
    namespace line_of = lines::get_spatial_kernel;
    PyObject* self = params[0];
    line.at(line_of::kGrid);
    Ref x, y;
    {
        Ref np = lookup_global(g_const.np);
        Ref meshgrid = get_attr(np.get(), g_const.meshgrid);
        Ref columns = offset_range(self);
        Ref rows = offset_range(self);
        refuse_grids_beyond_memory(np.get(), columns.get(), rows.get());
        Ref grids = call(meshgrid.get(), {columns.get(), rows.get()});
        auto [gx, gy] = unpack<2>(grids.get());
        x = std::move(gx);
        y = std::move(gy);
    }
    line.at(line_of::kKernel);
    Ref np = lookup_global(g_const.np);
    Ref exp = get_attr(np.get(), g_const.exp);
    Ref xx = mul(x.get(), x.get());
    Ref yy = mul(y.get(), y.get());
    Ref distance2 = add(xx.get(), yy.get());
    Ref sigma = get_attr(self, g_const.sigma_s);
    Ref sigma2 = square(sigma.get());
    Ref denominator = mul(g_const.float_2, sigma2.get());
    Ref quotient = true_div(distance2.get(), denominator.get());
    Ref exponent = neg(quotient.get());
    return call(exp.get(), {exponent.get()}).release();
}

}  // namespace sovelk
