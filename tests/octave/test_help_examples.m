function test_help_examples()
  % Every module's help, as Octave finds it beside the module on the path,
  % has the sections users rely on, and its example runs and gives the values
  % it states, so that no help text can go stale.
  root = fileparts(fileparts(fileparts(mfilename('fullpath'))));
  sources = dir(fullfile(root, 'modules', '*.cpp'));
  sources = sources(~strcmp({sources.name}, 'args.cpp'));   % the argument layer, not a module
  passed = 0; failed = 0;
  for k = 1:numel(sources)
    [~, name] = fileparts(sources(k).name);
    try
      check_help(name);
      passed += 1;
    catch err
      failed += 1;
      printf('%s: %s\n', name, err.message);
    end
  end
  printf('%d passed, %d failed\n', passed, failed);
  assert(failed == 0, '%d help files do not follow the convention or their examples fail', failed);
end

function check_help(name)
  text = get_help_text(name);
  assert(~isempty(text), 'no help beside the module (%s)', which(name));
  lines = strsplit(text, "\n", "CollapseDelimiters", false);
  NAME = upper(name);

  % A summary line "NAME Does something.", a usage line, the sections.
  assert(strncmp(strtrim(lines{1}), [NAME ' '], numel(NAME) + 1), ...
         'the first line must be "%s <one-line summary>"', NAME);
  assert(~isempty(strfind(text, [NAME '('])), 'no usage line with %s(...)', NAME);
  % A heading stands alone on its line, but for a remark in parentheses.
  headings = {'Inputs', 'Outputs?', 'Example', 'Errors'};
  at = zeros(size(headings));
  for h = 1:numel(headings)
    found = find(~cellfun(@isempty, regexp(lines, ['^\s*' headings{h} '(\s*\(.*\))?\s*$'])), 1);
    assert(~isempty(found), 'no section "%s"', headings{h});
    at(h) = found;
  end
  assert(issorted(at), 'the sections must come in the order Inputs, Outputs, Example, Errors');
  assert(any(~cellfun(@isempty, regexp(lines(at(4):end), ['\<' name ':\w+']))), ...
         'the Errors section lists no identifier %s:...', name);
  assert(any(~cellfun(@isempty, regexp(lines, '^\s*See also\s+\S'))), 'no "See also" line');

  % The example: the lines after its heading, up to the first blank line.
  % A comment "% v = <value>" states a result that the example must give;
  % one line may state several ("% v = [1 2], c = 3").
  block = lines(at(3) + 1:end);
  last = find(cellfun(@(s) isempty(strtrim(s)), block), 1) - 1;
  if isempty(last)
    last = numel(block);
  end
  block = strtrim(block(1:last));
  assert(~isempty(block), 'the example is empty');
  is_result = ~cellfun(@isempty, regexp(block, '^%\s*[A-Za-z]\w*\s*=', 'once'));
  checks = {};
  for line = block(is_result)
    statements = regexp(regexprep(line{1}, '^%\s*', ''), ',\s*(?=[A-Za-z]\w*\s*=)', 'split');
    for k = 1:numel(statements)
      checks{end + 1} = regexp(statements{k}, '^([A-Za-z]\w*)\s*=\s*(.+?)\s*$', 'tokens', 'once');
    end
  end
  assert(~isempty(checks), 'the example states no result ("%% v = ...")');
  run_example(strjoin(block(~is_result), "\n"), checks);
end

function run_example(example_code__, example_checks__)
  % Runs the example in a workspace of its own, then compares each stated
  % result with the variable of that name.
  evalc(example_code__);
  for check__ = 1:numel(example_checks__)
    variable__ = example_checks__{check__}{1};
    value__ = example_checks__{check__}{2};
    assert(exist(variable__, 'var') == 1, 'the example sets no variable %s', variable__);
    assert(eval(['isequaln(' variable__ ', ' value__ ')']), ...
           'the example gives %s = %s, not %s', variable__, mat2str(eval(variable__)), value__);
  end
end
