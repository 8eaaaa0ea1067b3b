#include <kestrel/engines/fd/double_barrier.hpp>
#include <kestrel/errors.hpp>

#include <ql/exercise.hpp>
#include <ql/instruments/vanillaoption.hpp>
#include <ql/methods/finitedifferences/meshers/fdmblackscholesmesher.hpp>
#include <ql/methods/finitedifferences/meshers/fdmmeshercomposite.hpp>
#include <ql/methods/finitedifferences/solvers/fdmblackscholessolver.hpp>
#include <ql/methods/finitedifferences/solvers/fdmsolverdesc.hpp>
#include <ql/methods/finitedifferences/stepconditions/fdmamericanstepcondition.hpp>
#include <ql/methods/finitedifferences/stepconditions/fdmstepconditioncomposite.hpp>
#include <ql/methods/finitedifferences/utilities/fdmdirichletboundary.hpp>
#include <ql/methods/finitedifferences/utilities/fdminnervaluecalculator.hpp>
#include <ql/pricingengines/vanilla/fdblackscholesvanillaengine.hpp>

#include <cmath>
#include <sstream>
#include <utility>

namespace kestrel::detail::fd {

using namespace QuantLib;

double corridor_value(const Process& process, double maturity, const ext::shared_ptr<Payoff>& payoff, double centre,
                      const Corridor& corridor, const Grid& grid) {
    const double spot = process->x0();
    if (!(maturity > 0.0)) {
        std::ostringstream os;
        os << "a barrier claim needs a maturity after today, got " << maturity << " years";
        throw ValueError(os.str());
    }
    if (corridor.lower && corridor.upper && !(*corridor.lower < *corridor.upper)) {
        std::ostringstream os;
        os << "lower barrier " << *corridor.lower << " is not below upper barrier " << *corridor.upper;
        throw ValueError(os.str());
    }
    if ((corridor.lower && !(spot > *corridor.lower)) || (corridor.upper && !(spot < *corridor.upper))) {
        std::ostringstream os;
        os << "spot " << spot << " is not strictly inside the barriers";
        throw ValueError(os.str());
    }
    const Real x_min = corridor.lower ? std::log(*corridor.lower) : Null<Real>();
    const Real x_max = corridor.upper ? std::log(*corridor.upper) : Null<Real>();
    const auto mesher = ext::make_shared<FdmMesherComposite>(
        ext::make_shared<FdmBlackScholesMesher>(grid.nodes, process, maturity, centre, x_min, x_max));
    const auto calculator = ext::make_shared<FdmLogInnerValue>(payoff, mesher, 0);
    FdmStepConditionComposite::Conditions exercise;
    if (corridor.early_exercise) exercise.push_back(ext::make_shared<FdmAmericanStepCondition>(mesher, calculator));
    const auto conditions = ext::make_shared<FdmStepConditionComposite>(std::list<std::vector<Time>>(), exercise);
    FdmBoundaryConditionSet boundaries;
    if (corridor.lower)
        boundaries.push_back(
            ext::make_shared<FdmDirichletBoundary>(mesher, corridor.lower_value, 0, FdmDirichletBoundary::Lower));
    if (corridor.upper)
        boundaries.push_back(
            ext::make_shared<FdmDirichletBoundary>(mesher, corridor.upper_value, 0, FdmDirichletBoundary::Upper));
    const FdmSolverDesc desc = {mesher, boundaries, conditions, calculator, maturity, grid.time_steps, 0};
    const FdmBlackScholesSolver solver(Handle<GeneralizedBlackScholesProcess>(process), centre, desc,
                                       FdmSchemeDesc::Douglas(), true);
    return solver.valueAt(spot);
}

FdLocalVolDoubleBarrierEngine::FdLocalVolDoubleBarrierEngine(Process process, Grid grid)
    : process_(std::move(process)), grid_(grid) {
    registerWith(process_);
}

void FdLocalVolDoubleBarrierEngine::calculate() const {
    const DoubleBarrier::Type type = arguments_.barrierType;
    QL_REQUIRE(type == DoubleBarrier::KnockIn || type == DoubleBarrier::KnockOut,
               "only knock-in and knock-out double barriers have a local-volatility engine");
    QL_REQUIRE(arguments_.exercise->type() == Exercise::European,
               "only European double barriers have a local-volatility engine");
    QL_REQUIRE(arguments_.rebate == 0.0, "a double barrier's rebate must be zero");
    const auto striked = ext::dynamic_pointer_cast<StrikedTypePayoff>(arguments_.payoff);
    QL_REQUIRE(striked, "non-striked payoff given");
    const auto cash = ext::dynamic_pointer_cast<CashOrNothingPayoff>(arguments_.payoff);
    QL_REQUIRE(cash || ext::dynamic_pointer_cast<PlainVanillaPayoff>(arguments_.payoff),
               "a double barrier's payoff must be plain vanilla or cash-or-nothing");
    const Real lo = arguments_.barrier_lo, hi = arguments_.barrier_hi;
    QL_REQUIRE(lo > 0.0 && lo < hi, "barriers must satisfy 0 < barrier_lo < barrier_hi");

    const Date expiry = arguments_.exercise->lastDate();
    const Time maturity = process_->time(expiry);
    // The claim without barriers: the cash discounted, or the vanilla.
    const auto unbarred = [&]() -> Real {
        if (cash) return cash->cashPayoff() * process_->riskFreeRate()->discount(expiry);
        VanillaOption vanilla(striked, arguments_.exercise);
        vanilla.setPricingEngine(ext::make_shared<FdBlackScholesVanillaEngine>(
            process_, grid_.time_steps, grid_.nodes, 0, FdmSchemeDesc::Douglas(), true));
        return vanilla.NPV();
    };
    const Real spot = process_->x0();
    if (spot <= lo || spot >= hi) {
        results_.value = type == DoubleBarrier::KnockOut ? 0.0 : (cash ? cash->cashPayoff() : unbarred());
        return;
    }
    const ext::shared_ptr<Payoff> terminal =
        cash ? ext::make_shared<CashOrNothingPayoff>(Option::Call, 0.0, cash->cashPayoff()) : arguments_.payoff;
    const double centre = striked->strike() > lo && striked->strike() < hi ? striked->strike() : spot;
    const Real out = corridor_value(process_, maturity, terminal, centre, Corridor{lo, hi, 0.0, 0.0}, grid_);
    results_.value = type == DoubleBarrier::KnockOut ? out : unbarred() - out;
}

}  // namespace kestrel::detail::fd
