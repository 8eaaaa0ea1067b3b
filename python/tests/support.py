"""Contracts and market inputs the tests share."""

# A valuation day inside the bundled history, with history behind it.
EVAL = "2024-06-28"
MARKET = dict(spot=3500.0, r=0.021, vol=0.23, q=0.012)


def base_terms(**extra):
    terms = {"effect_date": "2024-01-02", "maturity_date": "2024-12-31", "underlying": "000300.XSHG",
             "s0": 3400.0, "notional": 1_000_000}
    terms.update(extra)
    return terms


def vanilla_terms(**extra):
    terms = base_terms(type="vanilla", call_put="call", strike=3400.0, exercise_type="european",
                       payoff_type="plain_vanilla")
    terms.update(extra)
    return terms


def barrier_terms(**extra):
    terms = base_terms(type="barrier", call_put="call", barrier_type="up_and_out", strike=3400.0,
                       barrier=4000.0, rebate=5.0, exercise_type="european", payoff_type="plain_vanilla")
    terms.update(extra)
    return terms


def snowball_terms(**extra):
    """A one-year snowball on the CSI 500 from January 2024: its knock-in barrier
    was crossed in the February 2024 sell-off (close 4460.26 on 5 February)."""
    terms = base_terms(type="snowball", underlying="000905.XSHG", maturity_date="2025-01-02", s0=5400.0,
                       strike=5400.0, ki_barrier=4500.0, ko_barrier=5562.0, coupon_rate=0.15,
                       ki_obs_freq="daily", ko_obs_freq="monthly", obs_start_date="2024-01-02",
                       obs_end_date="2025-01-02")
    terms.update(extra)
    return terms


def asian_terms(**extra):
    terms = base_terms(type="asian", effect_date="2024-06-03", s0=3600.0, call_put="call", strike=3600.0,
                       average_type="geometric")
    terms.update(extra)
    return terms
