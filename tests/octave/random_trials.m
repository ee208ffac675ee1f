function n = random_trials(n)
  % The number of random trials a test makes: N, or fewer when the environment
  % variable RANDOM_TRIALS caps it (slow runs, such as the one under valgrind).
  cap = str2double(getenv('RANDOM_TRIALS'));
  if ~isnan(cap)
    n = min(n, cap);
  end
end
