// get_spatial_kernel: the unnormalised Gaussian of the window offsets,
// exp(-(dx*dx + dy*dy) / (2 sigma_s^2)), over a square reaching 3 sigma_s from its centre.
#include "module/lines.hpp"
#include "module/methods.hpp"
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
