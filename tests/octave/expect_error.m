function expect_error(f, expected)
  % Calls F, which must fail; EXPECTED is either the identifier (it contains
  % a colon and no space) or the end of the message the caller sees.
  try
    f();
  catch err
    if any(expected == ':') && ~any(expected == ' ')
      assert(strcmp(err.identifier, expected), ...
             'expected identifier %s, got %s (%s)', expected, err.identifier, err.message);
    else
      tail = err.message(max(1, end - numel(expected) + 1):end);
      assert(strcmp(tail, expected), 'expected message "%s", got "%s"', expected, err.message);
    end
    return;
  end
  error('expected an error: %s', expected);
end
