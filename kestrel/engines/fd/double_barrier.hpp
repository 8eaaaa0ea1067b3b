#pragma once
// Finite differences under a local volatility for the claims QuantLib has no
// local-volatility engine for: a payoff at expiry that lives while the price
// stays inside a corridor (one barrier or two), with a fixed amount paid on
// reaching a barrier. One log-price mesh spans the corridor, its ends at the
// barriers with the amount paid there as a Dirichlet condition (zero for a
// knock-out); QuantLib's Black-Scholes operator reads the process's local
// volatility; Douglas steps from expiry back to today. The barriers are
// watched continuously.
#include <ql/experimental/barrieroption/doublebarrieroption.hpp>
#include <ql/instruments/payoffs.hpp>
#include <ql/processes/blackscholesprocess.hpp>

#include <cstddef>
#include <optional>

namespace kestrel::detail::fd {

using Process = QuantLib::ext::shared_ptr<QuantLib::GeneralizedBlackScholesProcess>;

// Time steps and log-price nodes: the vanillas' nodes under a surface, four
// times their time steps (a Dirichlet condition at a barrier converges at
// first order in the time step: 200 steps leave 1e-3 on a digital).
struct Grid {
    std::size_t time_steps = 800;
    std::size_t nodes = 400;
};

// Where a claim lives: strictly between lower and upper (either may be
// absent), and what it pays on reaching each (at once, undiscounted).
// early_exercise: the payoff may also be taken at any time while it lives
// (American exercise from today).
struct Corridor {
    std::optional<double> lower, upper;
    double lower_value = 0.0, upper_value = 0.0;
    bool early_exercise = false;
};

// Today's value at the process's spot (strictly inside the corridor) of
// payoff(S_T) paid at maturity (years from the process's reference date)
// when the price has stayed inside the corridor, the corridor's amount
// when it reached a barrier first. `centre` concentrates the mesh's scale
// (a strike; the spot when there is none). ValueError for a spot outside
// the corridor, a maturity not after today or a lower barrier not below the
// upper one.
double corridor_value(const Process& process, double maturity, const QuantLib::ext::shared_ptr<QuantLib::Payoff>& payoff,
                      double centre, const Corridor& corridor, const Grid& grid = {});

// QuantLib's DoubleBarrierOption (knock-in or knock-out, European) on the
// process's local volatility. A plain-vanilla payoff pays at expiry; a
// cash-or-nothing one pays its cash at expiry whatever the strike, as
// QuantLib's analytic double-barrier binary engine reads it: a knock-out
// (double no-touch) when no barrier was reached, a knock-in (double one-touch)
// when one was. Knock-in = the same claim without barriers - knock-out,
// the vanilla on QuantLib's local-volatility finite differences. A spot
// already outside the corridor: a knock-out is worth 0, a knock-in the
// vanilla (a cash-or-nothing one its cash, as the analytic engine).
class FdLocalVolDoubleBarrierEngine : public QuantLib::DoubleBarrierOption::engine {
  public:
    explicit FdLocalVolDoubleBarrierEngine(Process process, Grid grid = {});
    void calculate() const override;

  private:
    Process process_;
    Grid grid_;
};

}  // namespace kestrel::detail::fd
