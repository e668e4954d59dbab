// Joint_bilateral_filter.__init__: stores both standard deviations, derives the window
// geometry and precomputes the spatial kernel and the range tables. Nothing is rolled back when
// a step fails: the attributes set before it stay.
#include "module/lines.hpp"
#include "methods/method_table.hpp"
#include "module/statements.hpp"

namespace sovelk {

PyObject* init_body(PyObject* const* params, StatementLine& line) {
    namespace line_of = lines::init;
    PyObject* self = params[0];
    PyObject* sigma_s = params[1];
    PyObject* sigma_r = params[2];
    line.at(line_of::kSigmaR);
    set_attr(self, g_const.sigma_r, sigma_r);
    line.at(line_of::kSigmaS);
    set_attr(self, g_const.sigma_s, sigma_s);
    // The window reaches 3 sigma from its centre on each side. The geometry comes from the
    // argument itself, with the constants on the left as the number protocol sees them.
    line.at(line_of::kWndwSize);
    {
        Ref six_sigma = mul(g_const.int_6, sigma_s);
        Ref wndw_size = add(six_sigma.get(), g_const.int_1);
        set_attr(self, g_const.wndw_size, wndw_size.get());
    }
    line.at(line_of::kPadW);
    {
        Ref pad_w = mul(g_const.int_3, sigma_s);
        set_attr(self, g_const.pad_w, pad_w.get());
    }
    line.at(line_of::kKernelS);
    {
        Ref method = get_attr(self, g_const.get_spatial_kernel);
        Ref kernel_s = call(method.get(), {});
        set_attr(self, g_const.kernel_s, kernel_s.get());
    }
    line.at(line_of::kRangeTables);
    {
        Ref method = get_attr(self, g_const.get_range_table);
        Ref tables = call(method.get(), {});
        auto [color, gray] = unpack<2>(tables.get());
        set_attr(self, g_const.table_r_color, color.get());
        set_attr(self, g_const.table_r_gray, gray.get());
    }
    Py_RETURN_NONE;
}

}  // namespace sovelk
