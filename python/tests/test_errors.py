"""Every error kind of the library arrives as Python's own exception class,
with the library's message; QuantLib's errors as RuntimeError with its text."""
import pytest

import kestrel
from support import EVAL, MARKET, barrier_terms, base_terms, snowball_terms, vanilla_terms


def without(terms, key):
    return {k: v for k, v in terms.items() if k != key}


# (what is built, the exception class, its message; None: no message at all)
CONSTRUCTION_ERRORS = {
    "missing key": (without(vanilla_terms(), "strike"), KeyError, "strike"),
    "first missing base key": (without(without(vanilla_terms(), "underlying"), "notional"), KeyError, "underlying"),
    "missing type": (without(vanilla_terms(), "type"), KeyError, "type"),
    "unknown exercise": (vanilla_terms(exercise_type="weekly"), ValueError, "unknown exercise type: weekly"),
    "bad date text": (vanilla_terms(effect_date="2024-02-30"), ValueError,
                      "effect_date: invalid date: '2024-02-30'"),
    "bermudan": (vanilla_terms(exercise_type="bermudan"), NotImplementedError,
                 "BERMUDAN EXERCISE not supported yet"),
    "unknown payoff": (vanilla_terms(payoff_type="power"), AssertionError, None),
    "text strike": (vanilla_terms(strike="abc"), TypeError, "strike: expected a number, got text (abc)"),
    "unknown barrier type": (barrier_terms(barrier_type="sideways"), KeyError, "sideways"),
}


@pytest.mark.parametrize("case", sorted(CONSTRUCTION_ERRORS))
def test_construction_errors(case, bundled):
    terms, cls, message = CONSTRUCTION_ERRORS[case]
    with pytest.raises(cls) as info:
        kestrel.make_option(terms)
    assert type(info.value) is cls
    if message is None:
        assert info.value.args == ()
    else:
        assert info.value.args == (message,)


def test_valuation_errors(bundled):
    option = kestrel.VanillaOption(vanilla_terms())
    m = MARKET
    with pytest.raises(NotImplementedError) as info:
        kestrel.BaseOption(base_terms()).npv(**m, evaluation_date=EVAL)
    assert info.value.args == ()
    with pytest.raises(ZeroDivisionError, match=r"^spot bump is zero"):
        option.greeks(0.0, m["r"], m["vol"], m["q"], EVAL)
    with pytest.raises(ValueError, match=r"^spot must be a finite number, got nan$"):
        option.npv(float("nan"), m["r"], m["vol"], m["q"], EVAL)
    with pytest.raises(TypeError, match=r"^theta needs an evaluation date"):
        option.theta(**m)
    with pytest.raises(TypeError):
        option.npv("3500", m["r"], m["vol"], m["q"], EVAL)  # numbers only, as in C++


def test_engine_errors_keep_their_kind(bundled):
    # An American cash-or-nothing knock-out has no engine: assertion "not implemented".
    corridor = kestrel.make_option(dict(vanilla_terms(type="corridor"), barrier_lo=3000.0, barrier_hi=4500.0,
                                        barrier_type="knock_out", exercise_type="american",
                                        payoff_type="cash_or_nothing", digital_payoff=10.0))
    with pytest.raises(AssertionError) as info:
        corridor.engine(**MARKET)
    assert info.value.args == ("not implemented",)
    with pytest.raises(AssertionError):
        corridor.npv(**MARKET, evaluation_date=EVAL)


def test_quantlib_errors_are_runtime_errors_with_quantlib_text(bundled):
    # An American exercise that ends before it starts is refused by QuantLib itself.
    with pytest.raises(RuntimeError) as info:
        kestrel.VanillaOption(vanilla_terms(exercise_type="american", effect_date="2025-06-02"))
    assert type(info.value) is RuntimeError
    assert info.value.args == ("earliest > latest exercise date",)


def test_market_data_service_errors():
    # No client installed: heron's own error, a RuntimeError.
    with pytest.raises(kestrel.heron.HeronError, match="no market-data client installed"):
        kestrel.VanillaOption(vanilla_terms())
    assert issubclass(kestrel.heron.HeronError, RuntimeError)
    with pytest.raises(kestrel.heron.HeronError):
        kestrel.heron.SqliteStore("/nonexistent/dir/prices.db", read_only=True)


def test_index_errors(bundled):
    # A phoenix whose knock-out schedule is empty has no first coupon period.
    with pytest.raises(IndexError) as info:
        kestrel.PhoenixOption(snowball_terms(type="phoenix", obs_end_date="2024-01-15"))
    assert type(info.value) is IndexError
    assert str(info.value).startswith("the knock-out schedule is empty")


def test_bad_terms_are_type_errors_naming_the_key(bundled):
    with pytest.raises(TypeError, match="expected a mapping"):
        kestrel.make_option([("type", "vanilla")])
    with pytest.raises(TypeError, match="keys must be text"):
        kestrel.make_option({**vanilla_terms(), 1: "x"})
    with pytest.raises(TypeError, match=r"^strike: unsupported value of type dict"):
        kestrel.make_option(vanilla_terms(strike={"level": 3400}))
    with pytest.raises(TypeError, match=r"^effect_date: unsupported value of type bytes"):
        kestrel.make_option(vanilla_terms(effect_date=b"2024-01-02"))


def test_errors_are_catchable_as_exception_and_carry_no_cpp_wrapping(bundled):
    try:
        kestrel.make_option(vanilla_terms(type="swap"))
    except Exception as e:  # noqa: BLE001 - the point is the class it arrives as
        assert type(e) is ValueError
        assert str(e).startswith("unknown product type: 'swap' (known: vanilla")
    else:
        pytest.fail("no error")
