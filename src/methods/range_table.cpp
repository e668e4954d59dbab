// get_range_table: the range Gaussian evaluated once per possible intensity difference (0 to 255
// levels), so that filtering only looks weights up. Two separate tables with equal values: one
// for colour guidance (multiplied over channels), one for gray guidance.
#include "module/lines.hpp"
#include "methods/method_table.hpp"
#include "module/statements.hpp"

namespace sovelk {

namespace {

// exp(-((diff * diff) / (2.0 * sigma_r ** 2))), reading sigma_r afresh.
Ref range_gaussian(PyObject* self, PyObject* diff) {
    Ref np = lookup_global(g_const.np);
    Ref exp = get_attr(np.get(), g_const.exp);
    Ref diff2 = mul(diff, diff);
    Ref sigma = get_attr(self, g_const.sigma_r);
    Ref sigma2 = square(sigma.get());
    Ref denominator = mul(g_const.float_2, sigma2.get());
    Ref quotient = true_div(diff2.get(), denominator.get());
    Ref exponent = neg(quotient.get());
    return call(exp.get(), {exponent.get()});
}

}  // namespace

PyObject* get_range_table_body(PyObject* const* params, StatementLine& line) {
    namespace line_of = lines::get_range_table;
    PyObject* self = params[0];
    line.at(line_of::kDiff);
    Ref diff;
    {
        Ref np = lookup_global(g_const.np);
        Ref arange = get_attr(np.get(), g_const.arange);
        Ref levels = call(arange.get(), {g_const.int_0, g_const.int_256});
        // Differences on the normalised 0..1 scale that sigma_r is expressed in.
        diff = true_div(levels.get(), g_const.float_255);
    }
    line.at(line_of::kColor);
    Ref color = range_gaussian(self, diff.get());
    line.at(line_of::kGray);
    Ref gray = range_gaussian(self, diff.get());
    line.at(line_of::kReturn);
    return require(PyTuple_Pack(2, color.get(), gray.get())).release();
}

}  // namespace sovelk
