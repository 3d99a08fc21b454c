# Counting for the shell tests, sourced: each judged fact is one check.
#   check_name=NAME; . tests/support/check.sh
#   check "what must hold" COMMAND [ARG...]   ok when COMMAND succeeds
#   check_summary                             "NAME: N passed, M failed";
#                                             fails when any check failed
passed=0
failed=0

check() {
    local name=$1
    shift
    if "$@"; then
        passed=$((passed + 1))
        echo "$check_name: ok: $name"
    else
        failed=$((failed + 1))
        echo "$check_name: FAILED: $name"
    fi
}

check_summary() {
    echo "$check_name: $passed passed, $failed failed"
    [ "$failed" -eq 0 ]
}
